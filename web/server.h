// The HTTP side: routes to the pages and the JSON, on cpp-httplib.
#pragma once
#include <functional>
#include <memory>
#include <string>

#include "web/site.h"

namespace httplib {
class Server;
}

namespace web {

// Serves `site` on host:port (port 0: a free one). listen() blocks until stop() is called from
// another thread.
class Server {
 public:
  explicit Server(Site& site);
  ~Server();
  // Binds; returns the port, or -1 when the address cannot be had.
  int bind(const std::string& host, int port);
  void listen();
  void stop();

 private:
  Site& site_;
  std::unique_ptr<httplib::Server> http_;
};

}  // namespace web
