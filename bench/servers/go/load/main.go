// The load client of the server benchmark: posts prepared multipart bodies
// over loopback and prints the seconds they took. Every answer must be 2xx.
//
//	load -url U -boundary B BODY...        each body at once, one connection
//	                                       each, streamed from its file
//	load -url U -boundary B -clients 50 -uploads 20 -size 65536
//	                                       each client posts its uploads one
//	                                       after another on a kept-alive
//	                                       connection; file "cC-uU.bin" holds
//	                                       its name, padded, then PAYLOAD
//	                                       from -payload (SIZE bytes)
package main

import (
	"bytes"
	"flag"
	"fmt"
	"io"
	"net/http"
	"os"
	"sync"
	"time"
)

func post(client *http.Client, url, boundary string, body io.Reader, length int64) error {
	req, err := http.NewRequest("POST", url, body)
	if err != nil {
		return err
	}
	req.ContentLength = length
	req.Header.Set("Content-Type", "multipart/form-data; boundary="+boundary)
	resp, err := client.Do(req)
	if err != nil {
		return err
	}
	io.Copy(io.Discard, resp.Body)
	resp.Body.Close()
	if resp.StatusCode/100 != 2 {
		return fmt.Errorf("answered %d", resp.StatusCode)
	}
	return nil
}

// The file a client's upload carries: its name first, so that every stored
// file can be told from the others and checked.
func Content(name string, payload []byte) []byte {
	data := append([]byte(nil), payload...)
	copy(data, fmt.Sprintf("%-32s", name))
	return data
}

func burst(url, boundary string, clients, uploads int, payload []byte) []error {
	transport := &http.Transport{MaxIdleConnsPerHost: clients, MaxConnsPerHost: clients}
	client := &http.Client{Transport: transport, Timeout: 120 * time.Second}
	errs := make([]error, clients)
	var wg sync.WaitGroup
	for c := 0; c < clients; c++ {
		wg.Add(1)
		go func(c int) {
			defer wg.Done()
			for u := 0; u < uploads; u++ {
				name := fmt.Sprintf("c%d-u%d.bin", c, u)
				var b bytes.Buffer
				fmt.Fprintf(&b, "--%s\r\nContent-Disposition: form-data; name=\"files[]\"; filename=\"%s\"\r\n"+
					"Content-Type: application/octet-stream\r\n\r\n", boundary, name)
				b.Write(Content(name, payload))
				fmt.Fprintf(&b, "\r\n--%s--\r\n", boundary)
				if err := post(client, url, boundary, bytes.NewReader(b.Bytes()), int64(b.Len())); err != nil {
					errs[c] = err
					return
				}
			}
		}(c)
	}
	wg.Wait()
	return errs
}

func bodies(url, boundary string, files []string) []error {
	errs := make([]error, len(files))
	var wg sync.WaitGroup
	for i, path := range files {
		wg.Add(1)
		go func(i int, path string) {
			defer wg.Done()
			f, err := os.Open(path)
			if err != nil {
				errs[i] = err
				return
			}
			defer f.Close()
			st, _ := f.Stat()
			client := &http.Client{Transport: &http.Transport{DisableCompression: true}, Timeout: 300 * time.Second}
			errs[i] = post(client, url, boundary, f, st.Size())
		}(i, path)
	}
	wg.Wait()
	return errs
}

func main() {
	url := flag.String("url", "", "where to post")
	boundary := flag.String("boundary", "", "the bodies' boundary")
	clients := flag.Int("clients", 0, "clients of a burst (0: post the BODY files)")
	uploads := flag.Int("uploads", 20, "uploads per client")
	payloadFile := flag.String("payload", "", "the burst's file content")
	flag.Parse()
	var payload []byte
	if *clients > 0 {
		var err error
		if payload, err = os.ReadFile(*payloadFile); err != nil {
			fmt.Fprintln(os.Stderr, err)
			os.Exit(2)
		}
	}
	start := time.Now()
	var errs []error
	if *clients > 0 {
		errs = burst(*url, *boundary, *clients, *uploads, payload)
	} else {
		errs = bodies(*url, *boundary, flag.Args())
	}
	elapsed := time.Since(start).Seconds()
	failed := 0
	for _, err := range errs {
		if err != nil {
			if failed == 0 {
				fmt.Fprintln(os.Stderr, "first failure:", err)
			}
			failed++
		}
	}
	if failed > 0 {
		fmt.Fprintf(os.Stderr, "%d of %d failed\n", failed, len(errs))
		os.Exit(1)
	}
	fmt.Printf("%.4f\n", elapsed)
}
