module parcelmoor.bench/servers

go 1.19
