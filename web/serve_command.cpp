#include <netdb.h>
#include <pthread.h>
#include <signal.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>

#include <cstdio>
#include <iostream>
#include <thread>

#include "cli/format.h"
#include "web/serve.h"
#include "web/server.h"
#include "web/site.h"

namespace web {
namespace {

struct ServeOptions {
  cli::GlobalOptions global;
  std::string bind = "127.0.0.1";
  int port = 8080;
};

ServeOptions parseServeOptions(const cli::Context& ctx, const std::vector<std::string>& args) {
  ServeOptions o;
  o.global = ctx.options();
  o.global.words.clear();
  if (o.global.output != cli::OutputMode::Table)
    throw cli::UsageError(
        "serve writes web pages: it has no --raw or --json form (the pages' records are under "
        "/api/, as --json writes them)");
  bool bindGiven = false, portGiven = false;
  for (size_t i = 0; i < args.size(); ++i) {
    std::string name = args[i], value;
    const size_t eq = name.find('=');
    const bool inline_ = name.rfind("--", 0) == 0 && eq != std::string::npos;
    if (inline_) {
      value = name.substr(eq + 1);
      name = name.substr(0, eq);
    }
    auto take = [&]() {
      if (!inline_) {
        if (i + 1 >= args.size()) throw cli::UsageError("option " + name + " needs a value");
        value = args[++i];
      }
      if (value.empty()) throw cli::UsageError("option " + name + " needs a value");
      return value;
    };
    if (name == "--heap") {
      if (!o.global.heap.empty())
        throw cli::UsageError("--heap is given twice: one heap at a time");
      o.global.heap = take();
    } else if (name == "--baseline") {
      if (!o.global.baseline.empty()) throw cli::UsageError("--baseline is given twice");
      o.global.baseline = take();
    } else if (name == "--port") {
      if (portGiven) throw cli::UsageError("--port is given twice");
      portGiven = true;
      const std::optional<int32_t> port = cli::parseCount(take());
      if (!port || *port > 65535)
        throw cli::UsageError("--port needs a port number from 0 to 65535, not " +
                              cli::quoteInput(value));
      o.port = *port;
    } else if (name == "--bind") {
      if (bindGiven) throw cli::UsageError("--bind is given twice");
      bindGiven = true;
      o.bind = take();
    } else {
      throw cli::UsageError("unknown option " + cli::quoteInput(args[i]) +
                            " for serve (see tavolin help serve)");
    }
  }
  if (!o.global.baseline.empty() && o.global.heap.empty())
    throw cli::UsageError("--baseline compares a dump with an earlier one: give --heap too");
  return o;
}

// Why the server could not have host:port, asked of the system with a socket of our own.
std::string whyNotBound(const std::string& host, int port) {
  addrinfo hints{};  // family 0: IPv4 or IPv6, whichever the address is
  hints.ai_socktype = SOCK_STREAM;
  hints.ai_flags = AI_NUMERICSERV | AI_PASSIVE;
  addrinfo* found = nullptr;
  if (getaddrinfo(host.c_str(), std::to_string(port).c_str(), &hints, &found) != 0 || !found)
    return "not an address of this machine";
  const int sock = socket(found->ai_family, found->ai_socktype, found->ai_protocol);
  int error = 0;
  if (sock >= 0) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
    if (::bind(sock, found->ai_addr, found->ai_addrlen) != 0) error = errno;
    close(sock);
  }
  freeaddrinfo(found);
  if (error == EADDRINUSE) return "the port is in use (another server listens on it)";
  if (error == EACCES) return "not allowed to listen on it (ports below 1024 need privilege)";
  if (error == EADDRNOTAVAIL) return "not an address of this machine";
  return error ? std::strerror(error) : "the address could not be had";
}

bool isLoopback(const std::string& host) {
  return host == "localhost" || host == "::1" || host.rfind("127.", 0) == 0;
}

int runServe(cli::Context& ctx, const cli::Invocation& inv, std::ostream& out) {
  const ServeOptions o = parseServeOptions(ctx, inv.args);
  // Ctrl-C and SIGTERM are taken by a thread of their own (sigwait), not by a handler: every
  // thread made from here on, the server's included, leaves them blocked.
  sigset_t stopSignals;
  sigemptyset(&stopSignals);
  sigaddset(&stopSignals, SIGINT);
  sigaddset(&stopSignals, SIGTERM);
  pthread_sigmask(SIG_BLOCK, &stopSignals, nullptr);
  signal(SIGPIPE, SIG_IGN);

  cli::Context served(o.global);
  Site site(served);  // loads the heap (and takes the baseline's census)
  Server server(site);
  const int port = server.bind(o.bind, o.port);
  if (port < 0)
    throw cli::CliError("cannot listen on " + cli::quoteInput(o.bind) + " port " +
                        std::to_string(o.port) + ": " + whyNotBound(o.bind, o.port));
  if (!isLoopback(o.bind))
    std::fprintf(stderr,
                 "tavolin: listening on %s, not only on this machine's loopback: anyone who can "
                 "reach it can read this heap\n",
                 cli::printable(o.bind).c_str());
  const bool v6 = o.bind.find(':') != std::string::npos;
  out << "serving "
      << (o.global.heap.empty() ? std::string("the demo heap") : cli::printable(o.global.heap))
      << " at http://" << (v6 ? "[" : "") << cli::printable(o.bind) << (v6 ? "]" : "") << ":"
      << port << "/ (Ctrl-C stops)" << std::endl;

  std::thread waiter([&] {
    int signal = 0;
    sigwait(&stopSignals, &signal);
    server.stop();
  });
  server.listen();
  // listen() can also end without a signal (the socket failed): wake the waiter then.
  pthread_kill(waiter.native_handle(), SIGTERM);
  waiter.join();
  out << "stopped: no new requests taken, the ones in flight answered" << std::endl;
  return 0;
}

}  // namespace

cli::Command serveCommand() {
  cli::Command c;
  c.name = "serve";
  c.synopsis = "serve [--heap FILE] [--baseline FILE] [--port N] [--bind ADDR]";
  c.summary = "browse the heap in a web browser";
  c.details = R"(Serves the heap the console would open (the demo heap without --heap) as web pages:
an overview with the top classes, the census (filter, sort, superclass crediting), each
class, object and thread, roots, references to missing objects, and a search that takes
class names and handles as the console does. Every page's records are under /api/...,
as the console's --json writes them. Prints its address once the heap is loaded and
serves until Ctrl-C or SIGTERM.
  --heap FILE      the dump to serve (as the tool's own --heap)
  --baseline FILE  an earlier dump: the census compares the two, largest growth first,
                   and an object's page says whether the baseline had its dump id
  --port N         the port (default 8080; 0 takes a free one)
  --bind ADDR      the address to listen on (default 127.0.0.1: this machine only)
)";
  c.ownOptions = true;
  c.maxArgs = SIZE_MAX;
  c.run = runServe;
  return c;
}

}  // namespace web
