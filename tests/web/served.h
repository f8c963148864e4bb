// One heap served in this process on a free loopback port, for the tests of the pages.
#pragma once
#include <httplib.h>

#include <chrono>
#include <string>
#include <thread>

#include "cli/format.h"
#include "web/server.h"
#include "web/site.h"

namespace webtest {

struct Served {
  explicit Served(cli::GlobalOptions o) : ctx(std::move(o)), site(ctx), server(site) {
    port = server.bind("127.0.0.1", 0);
    thread = std::thread([this] { server.listen(); });
    httplib::Client probe("127.0.0.1", port);
    for (int i = 0; i < 200 && !probe.Get("/api/threads"); ++i)
      std::this_thread::sleep_for(std::chrono::milliseconds(10));
  }
  ~Served() {
    server.stop();
    thread.join();
  }
  // The page at `path`, sent as written (`encoded`: the path's bytes are percent-encoded already)
  // or encoded by the client.
  httplib::Result get(const std::string& path, bool encoded = false) const {
    httplib::Client c("127.0.0.1", port);
    c.set_url_encode(!encoded);
    return c.Get(path.c_str());
  }
  // The handle of a dump's object.
  std::string hex(uint64_t id) { return cli::hexHandle(ctx.session().dump()->handleOfId.at(id)); }

  cli::Context ctx;
  web::Site site;
  web::Server server;
  int port = -1;
  std::thread thread;
};

}  // namespace webtest
