#pragma once
// The paths a listener answers, in one table: a new route is a row and a
// handler of Connection. Looked up once per request; the row's label names
// the request in the log and the metrics.

#include <string>
#include <string_view>
#include <vector>

namespace parcelmoor::httpd {

class Connection;
using RouteHandler = void (Connection::*)(std::string_view path);

struct Route {
  std::string_view label;  // "/", "/files/", "/healthz", ...
  std::string path;        // the path itself, or its start when `prefix`
  bool prefix = false;
  RouteHandler handle = nullptr;
  bool cors = false;  // answers carry the CORS headers of --cors-origin
};

class RouteTable {
 public:
  RouteTable(std::vector<Route> routes, Route fallback)
      : routes_(std::move(routes)), fallback_(std::move(fallback)) {}
  // The first row whose path is `path` (or begins it, for a prefix row);
  // the fallback when none is.
  const Route& Find(std::string_view path) const {
    for (const Route& r : routes_) {
      if (r.prefix ? path.starts_with(r.path) : path == r.path) return r;
    }
    return fallback_;
  }

 private:
  std::vector<Route> routes_;
  Route fallback_;
};

}  // namespace parcelmoor::httpd
