// The Go peers: net/http storing every file part of a POST in a directory.
//
//	server -mode stream -port N -dir DIR   MultipartReader: each part copied
//	                                       to its file as it arrives
//	server -mode parse  -port N -dir DIR   ParseMultipartForm (32 MiB in
//	                                       memory, the rest in temporaries),
//	                                       then each file copied to DIR
package main

import (
	"flag"
	"io"
	"log"
	"mime/multipart"
	"net/http"
	"os"
	"path/filepath"
)

func store(dir, name string, from io.Reader) error {
	out, err := os.Create(filepath.Join(dir, filepath.Base(name)))
	if err != nil {
		return err
	}
	if _, err := io.Copy(out, from); err != nil {
		out.Close()
		return err
	}
	return out.Close()
}

func streamed(dir string) http.HandlerFunc {
	return func(w http.ResponseWriter, r *http.Request) {
		mr, err := r.MultipartReader()
		if err != nil {
			http.Error(w, err.Error(), http.StatusBadRequest)
			return
		}
		for {
			part, err := mr.NextPart()
			if err == io.EOF {
				break
			}
			if err != nil {
				http.Error(w, err.Error(), http.StatusBadRequest)
				return
			}
			if part.FileName() != "" {
				if err := store(dir, part.FileName(), part); err != nil {
					http.Error(w, err.Error(), http.StatusInternalServerError)
					return
				}
			}
			part.Close()
		}
		io.WriteString(w, "ok")
	}
}

func parsed(dir string) http.HandlerFunc {
	return func(w http.ResponseWriter, r *http.Request) {
		if err := r.ParseMultipartForm(32 << 20); err != nil {
			http.Error(w, err.Error(), http.StatusBadRequest)
			return
		}
		defer r.MultipartForm.RemoveAll()
		for _, files := range r.MultipartForm.File {
			for _, fh := range files {
				if err := copyFile(dir, fh); err != nil {
					http.Error(w, err.Error(), http.StatusInternalServerError)
					return
				}
			}
		}
		io.WriteString(w, "ok")
	}
}

func copyFile(dir string, fh *multipart.FileHeader) error {
	f, err := fh.Open()
	if err != nil {
		return err
	}
	defer f.Close()
	return store(dir, fh.Filename, f)
}

func main() {
	mode := flag.String("mode", "stream", "stream or parse")
	port := flag.String("port", "8081", "port on 127.0.0.1")
	dir := flag.String("dir", ".", "directory the files go to")
	flag.Parse()
	handler := streamed(*dir)
	if *mode == "parse" {
		handler = parsed(*dir)
	}
	log.Fatal(http.ListenAndServe("127.0.0.1:"+*port, handler))
}
