// The HTTP side: routes to the pages and the JSON, on cpp-httplib.
#pragma once
#include <atomic>
#include <chrono>
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "web/site.h"

namespace httplib {
class Server;
struct Request;
struct Response;
}  // namespace httplib

namespace web {

// Serves `site` on host:port (port 0: a free one). listen() blocks until stop() is called from
// another thread. stop() lets the requests in flight finish: from its call every new request is
// answered 503, and the socket is closed once none has been answered for a moment (at most a
// second of 503s after the last one in flight ends).
class Server {
 public:
  // The segments of a request's path that a route's "*" stood for.
  using Parts = std::vector<std::string>;

  explicit Server(Site& site);
  ~Server();
  // Binds, alone on the port (never beside another listener); returns the port, or -1 when the
  // address cannot be had. Requests are answered only when their Host names what was bound.
  int bind(const std::string& host, int port);
  void listen();
  void stop();

  // Whom requests must address (their Host header): `host` (the address served, as --bind took
  // it) or a loopback name, and `port`. bind() sets it; a caller without a socket sets it here.
  void serveAs(const std::string& host, int port);

  // Answers one request as a request from the socket is answered: the Host check, the method,
  // the routes and their errors, and the headers every answer has.
  void answer(const httplib::Request& req, httplib::Response& res);

 private:
  using Handler = std::function<void(const httplib::Request&, const Parts&, httplib::Response&)>;
  struct Route {
    std::string path;  // "/object/*": see matchPath in server.cpp
    Handler run;
  };
  void route(const std::string& pattern, Handler run);
  void dispatch(const httplib::Request& req, httplib::Response& res);
  void answerApi(const httplib::Request& req, const Parts& m, httplib::Response& res);
  bool hostServed(const std::string& hostHeader) const;

  Site& site_;
  std::unique_ptr<httplib::Server> http_;
  std::vector<Route> routes_;
  std::string boundHost_ = "127.0.0.1";
  int port_ = 0;
  std::atomic<bool> stopping_{false};
  std::atomic<int> inFlight_{0};
  std::atomic<std::chrono::steady_clock::rep> lastStart_{0};
};

}  // namespace web
