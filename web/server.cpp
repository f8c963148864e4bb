#include "web/server.h"

#include <httplib.h>
#include <sys/socket.h>

#include <algorithm>
#include <cctype>
#include <chrono>
#include <optional>
#include <thread>

#include "cli/format.h"
#include "web/html.h"
#include "web/pages.h"

namespace web {
namespace {

constexpr const char* kHtml = "text/html; charset=utf-8";
constexpr const char* kJson = "application/json; charset=utf-8";
// The HTTP library gives a worker to a connection for as long as the client keeps it open
// (keep-alive): with fewer workers than clients, a client waits for another to leave, however
// cheap its page. Idle workers cost a stack each; the VM's own gate orders what must run alone.
constexpr size_t kWorkers = 64;
// The rows an /api list answers when the caller names no limit: one page, as the pages show.
constexpr size_t kApiRows = kPageRows;
// A longer list than this is written to the socket as it is made, never held whole.
constexpr size_t kStreamAbove = kPageRows;

Params paramsOf(const httplib::Request& req) {
  return Params(req.params.begin(), req.params.end());
}

bool flag(const httplib::Request& req, const char* name) {
  const std::string v = req.get_param_value(name);
  return req.has_param(name) && v != "0" && v != "off";
}

// The console command behind /api/NAME[/HANDLE]: the same words the console takes, and which of
// them the command table says the command accepts.
struct ApiCall {
  std::vector<std::string> words;
  const cli::Command* command = nullptr;
  size_t limit = 0;  // the rows asked for (the command's --limit)
  bool wholeHeap = false;
};

ApiCall apiCall(Site& site, const std::string& name, const std::string& arg,
                const httplib::Request& req) {
  // The queries /api answers (not demo, shell or serve); whether one takes a handle is the
  // command table's to say.
  static const std::vector<std::string> kServed{
      "classes", "usage",  "threads", "missing",   "dominators", "class-info", "instances",
      "info",    "fields", "refs",    "referrers", "path",       "retained"};
  ApiCall call;
  call.words = {name};
  if (std::find(kServed.begin(), kServed.end(), name) == kServed.end())
    throw HttpError(404, "no such query: " + cli::quoteInput(name));
  call.command = cli::findCommand(name);
  if (!call.command) throw HttpError(404, "no such query: " + cli::quoteInput(name));
  call.wholeHeap = !call.command->handleArgument;
  if (call.command->handleArgument) {
    if (arg.empty()) throw HttpError(400, name + " needs a handle: /api/" + name + "/0x...");
    call.words.push_back(cli::hexHandle(site.handleParam(arg)));
  } else if (!arg.empty()) {
    throw HttpError(404, name + " takes no handle");
  }
  const std::string prefix = req.get_param_value("prefix");
  if (!prefix.empty()) {
    if (name != "classes" && name != "usage")
      throw HttpError(400, "prefix is for classes and usage");
    if (prefix[0] == '-') throw HttpError(400, "a prefix does not begin with '-'");
    call.words.push_back(prefix);
  }
  auto option = [&](const char* param, const char* word) {
    if (!flag(req, param)) return;
    const auto& flags = call.command->flags;
    if (std::none_of(flags.begin(), flags.end(),
                     [&](const char* f) { return word == std::string(f); }))
      throw HttpError(400, std::string(param) + " is not an option of " + name);
    call.words.push_back(word);
  };
  option("credit", "--superclasses");
  option("by-count", "--by-count");
  option("arrays", "--arrays");
  option("subclasses", "--subclasses");
  option("retained", "--retained");
  if (req.has_param("skip")) {
    if (!call.command->takesSkip) throw HttpError(400, "skip is not an option of " + name);
    const std::string skip = req.get_param_value("skip");
    if (!cli::parseCount(skip)) throw HttpError(400, "skip must be a whole number");
    call.words.push_back("--skip");
    call.words.push_back(skip);
  }
  if (req.has_param("limit")) {
    if (!call.command->takesLimit) throw HttpError(400, "limit is not an option of " + name);
    const std::string limit = req.get_param_value("limit");
    const std::optional<int32_t> n = cli::parseCount(limit);
    if (!n) throw HttpError(400, "limit must be a whole number");
    call.limit = static_cast<size_t>(*n);
    call.words.push_back("--limit");
    call.words.push_back(limit);
  } else if (call.command->takesLimit && call.command->defaultLimit > kApiRows) {
    // Unasked, a long list answers its first page (and its total in X-Total-Count).
    call.limit = kApiRows;
    call.words.push_back("--limit");
    call.words.push_back(std::to_string(kApiRows));
  }
  return call;
}

bool alone(const std::string& name) {
  return name == "classes" || name == "usage" || name == "instances" || name == "threads";
}

// What a long answer is written through: blocks of 64 KB, each one chunk of the response.
class SinkBuffer : public std::streambuf {
 public:
  explicit SinkBuffer(httplib::DataSink& sink) : sink_(sink) {
    setp(block_, block_ + sizeof block_);
  }
  ~SinkBuffer() override { sync(); }

 protected:
  int_type overflow(int_type c) override {
    if (sync() != 0) return traits_type::eof();
    if (!traits_type::eq_int_type(c, traits_type::eof())) sputc(traits_type::to_char_type(c));
    return traits_type::not_eof(c);
  }
  int sync() override {
    const size_t n = static_cast<size_t>(pptr() - pbase());
    setp(block_, block_ + sizeof block_);
    if (n == 0 || failed_) return failed_ ? -1 : 0;
    // A reader that went away: the rest of the answer is made but written nowhere.
    if (!sink_.is_writable() || !sink_.write(block_, n)) failed_ = true;
    return failed_ ? -1 : 0;
  }

 private:
  httplib::DataSink& sink_;
  char block_[64 * 1024];
  bool failed_ = false;
};

std::string lower(std::string s) {
  for (char& c : s) c = static_cast<char>(std::tolower(static_cast<unsigned char>(c)));
  return s;
}

bool isIpLiteral(const std::string& host) {
  if (host.size() > 2 && host.front() == '[' && host.back() == ']') {
    return host.find_first_not_of("0123456789abcdef:.", 1) == host.size() - 1;
  }
  int dots = 0;
  for (char c : host) {
    if (c == '.')
      ++dots;
    else if (!std::isdigit(static_cast<unsigned char>(c)))
      return false;
  }
  return dots == 3;
}

// Whether `path` is `pattern`, where "*" stands for one segment (not empty, no '/') and a last
// "*?" for one segment or none; `parts` gets the segments they stood for.
bool matchPath(std::string_view pattern, std::string_view path, Server::Parts& parts) {
  parts.clear();
  while (!pattern.empty()) {
    if (pattern == "/*?" && path.empty()) return true;
    const bool optional = pattern == "/*?";
    if (pattern.substr(0, 2) == "/*") {
      if (path.size() < 2 || path[0] != '/') return false;
      const size_t end = std::min(path.find('/', 1), path.size());
      parts.emplace_back(path.substr(1, end - 1));
      path.remove_prefix(end);
      pattern.remove_prefix(optional ? 3 : 2);
      continue;
    }
    const size_t literal = std::min(pattern.find("/*"), pattern.size());
    if (path.substr(0, literal) != pattern.substr(0, literal)) return false;
    path.remove_prefix(literal);
    pattern.remove_prefix(literal);
  }
  return path.empty();
}

}  // namespace

Server::Server(Site& site) : site_(site), http_(std::make_unique<httplib::Server>()) {
  httplib::Server& s = *http_;
  s.new_task_queue = [] { return new httplib::ThreadPool(kWorkers); };
  s.set_read_timeout(10, 0);
  s.set_write_timeout(10, 0);
  s.set_keep_alive_max_count(1000);
  s.set_tcp_nodelay(true);
  s.set_payload_max_length(1 << 16);
  // The library's default also sets SO_REUSEPORT, with which a second server would listen on
  // the same port beside this one and take half its requests. SO_REUSEADDR alone lets a
  // restarted server have its port back at once, and no other listener have it.
  s.set_socket_options([](socket_t sock) {
    int yes = 1;
    setsockopt(sock, SOL_SOCKET, SO_REUSEADDR, &yes, sizeof yes);
  });
  // Every method and path reaches answer(); it tells GET and HEAD from the rest. (A path may
  // hold any byte once decoded, line breaks too, which "." would not match.)
  const auto all = [this](const httplib::Request& req, httplib::Response& res) {
    answer(req, res);
  };
  const char* anyPath = R"([\s\S]*)";
  s.Get(anyPath, all);
  s.Post(anyPath, all);
  s.Put(anyPath, all);
  s.Patch(anyPath, all);
  s.Delete(anyPath, all);
  s.Options(anyPath, all);
  // What the HTTP library refuses itself (a malformed request line, a body too long) still gets
  // a page or a JSON error.
  s.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
    if (!res.body.empty()) return;
    const std::string what = "the request could not be served";
    if (req.path.rfind("/api/", 0) == 0)
      res.set_content(cli::jsonErrorRecord(what), kJson);
    else
      res.set_content(errorPage(res.status, what), kHtml);
  });

  auto html = [](std::function<std::string(const httplib::Request&, const Parts&)> make) {
    return [make](const httplib::Request& req, const Parts& m, httplib::Response& res) {
      res.set_content(make(req, m), kHtml);
    };
  };
  route("/", html([this](const httplib::Request&, const Parts&) { return overviewPage(site_); }));
  route("/classes", html([this](const httplib::Request& req, const Parts&) {
          return censusPage(site_, paramsOf(req));
        }));
  route("/class/*", html([this](const httplib::Request& req, const Parts& m) {
          return classPage(site_, site_.handleParam(m[0]), paramsOf(req));
        }));
  route("/object/*", html([this](const httplib::Request& req, const Parts& m) {
          return objectPage(site_, site_.handleParam(m[0]), paramsOf(req));
        }));
  route("/dominators", html([this](const httplib::Request& req, const Parts&) {
          return dominatorsPage(site_, paramsOf(req));
        }));
  route("/threads",
        html([this](const httplib::Request&, const Parts&) { return threadsPage(site_); }));
  route("/roots", html([this](const httplib::Request&, const Parts&) { return rootsPage(site_); }));
  route("/missing", html([this](const httplib::Request& req, const Parts&) {
          return missingPage(site_, paramsOf(req));
        }));
  route("/search", [this](const httplib::Request& req, const Parts&, httplib::Response& res) {
    std::string location;
    const std::string html = searchPage(site_, req.get_param_value("q"), location);
    if (!location.empty())
      res.set_redirect(location, 303);
    else
      res.set_content(html, kHtml);
  });
  route("/api/*/*?", [this](const httplib::Request& req, const Parts& m, httplib::Response& res) {
    answerApi(req, m, res);
  });
}

Server::~Server() = default;

void Server::route(const std::string& pattern, Handler run) {
  routes_.push_back({pattern, std::move(run)});
}

void Server::answerApi(const httplib::Request& req, const Parts& m, httplib::Response& res) {
  const std::string name = m[0];
  const std::string arg = m.size() > 1 ? m[1] : std::string();
  const ApiCall call = apiCall(site_, name, arg, req);
  const bool lone = alone(name);
  if (call.limit > kStreamAbove) {
    // A long list goes out as it is made, so its status is settled before its first row: the
    // handle was found above, and the one list that asks more of it (instances, of a class)
    // is checked here.
    if (name == "instances" && cli::kindOf(site_.vm(), site_.handleParam(arg)) != 'C')
      throw HttpError(422, cli::hexHandle(site_.handleParam(arg)) + " is not a class");
    const std::vector<std::string> words = call.words;
    res.set_chunked_content_provider(kJson, [this, words, lone](size_t, httplib::DataSink& sink) {
      {
        SinkBuffer buffer(sink);
        std::ostream out(&buffer);
        try {
          site_.runInto(words, lone, out);
        } catch (const std::exception& e) {
          out << cli::jsonErrorRecord(e.what());
        }
      }
      sink.done();
      return true;
    });
    return;
  }
  const Answer a = site_.run(call.words, lone, call.wholeHeap);
  res.status = a.httpStatus;
  if (a.total) res.set_header("X-Total-Count", std::to_string(*a.total));
  res.set_content(a.text, kJson);
}

void Server::serveAs(const std::string& host, int port) {
  boundHost_ = host;
  port_ = port;
}

// A page reached through a name other than this machine's or the address served is refused:
// a web page elsewhere could otherwise read the heap by pointing a name of its own at this
// address (DNS rebinding). Names are compared whole, ports exactly.
bool Server::hostServed(const std::string& hostHeader) const {
  std::string host = lower(hostHeader), port;
  const size_t colon = host.rfind(':');
  if (colon != std::string::npos && host.find(']', colon) == std::string::npos) {
    port = host.substr(colon + 1);
    host.resize(colon);
  }
  if (port.empty() ? port_ != 80 : port != std::to_string(port_)) return false;
  const std::string bound = lower(boundHost_);
  const bool v6 = bound.find(':') != std::string::npos;
  if (host == "localhost" || host == "127.0.0.1" || host == "[::1]" ||
      host == (v6 ? "[" + bound + "]" : bound))
    return true;
  // Listening on every address: any address of this machine may be asked for, and an address
  // written as such is no name a page elsewhere could have pointed here.
  const bool everyAddress = bound == "0.0.0.0" || bound == "::" || bound.empty();
  return everyAddress && isIpLiteral(host);
}

void Server::answer(const httplib::Request& req, httplib::Response& res) {
  const auto start = std::chrono::steady_clock::now();
  lastStart_ = start.time_since_epoch().count();
  // Counted while it is answered, so that stop() waits for it; a 503 is not waited for.
  const bool working = !stopping_;
  if (working) ++inFlight_;
  struct Leave {
    std::atomic<int>& n;
    bool counted;
    ~Leave() {
      if (counted) --n;
    }
  } leave{inFlight_, working};
  const bool api = req.path.rfind("/api/", 0) == 0;
  auto fail = [&](int status, const std::string& what) {
    res.status = status;
    if (api)
      res.set_content(cli::jsonErrorRecord(what), kJson);
    else
      res.set_content(errorPage(status, what), kHtml);
  };
  try {
    if (!working) {
      fail(503, "the server is stopping");
      res.set_header("Connection", "close");
    } else if (!hostServed(req.get_header_value("Host")))
      fail(421, "this server answers only requests addressed to it (Host: 127.0.0.1:" +
                    std::to_string(port_) + " or localhost:" + std::to_string(port_) + ")");
    else if (req.method != "GET" && req.method != "HEAD") {
      fail(405, "the pages are read with GET");
      res.set_header("Allow", "GET, HEAD");
    } else
      dispatch(req, res);
  } catch (const HttpError& e) {
    fail(e.status, e.what());
  } catch (const std::exception& e) {
    fail(500, e.what());
  }
  const double ms =
      std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start).count();
  res.set_header("Server-Timing", "app;dur=" + std::to_string(ms));
  // Pages need no script and load nothing: a text from the heap can run nothing either.
  res.set_header("Content-Security-Policy",
                 "default-src 'none'; style-src 'unsafe-inline'; img-src data:; "
                 "form-action 'self'; base-uri 'none'");
  res.set_header("X-Content-Type-Options", "nosniff");
  res.set_header("Cache-Control", "no-store");
}

void Server::dispatch(const httplib::Request& req, httplib::Response& res) {
  for (const Route& r : routes_) {
    Parts m;
    if (matchPath(r.path, req.path, m)) {
      r.run(req, m, res);
      return;
    }
  }
  throw HttpError(404, "no page at " + req.path);
}

int Server::bind(const std::string& host, int port) {
  const int bound =
      port == 0 ? http_->bind_to_any_port(host) : (http_->bind_to_port(host, port) ? port : -1);
  if (bound > 0) serveAs(host, bound);
  return bound;
}

void Server::listen() { http_->listen_after_bind(); }
void Server::stop() {
  using Clock = std::chrono::steady_clock;
  stopping_ = true;
  // Requests taken before the stop run to their end (a long search too); those that arrive
  // meanwhile, or were waiting for a worker, get 503 rather than a closed connection. The
  // socket closes after a quiet moment, or after a second of nothing but 503s.
  constexpr auto kQuiet = std::chrono::milliseconds(100);
  constexpr auto kMost503s = std::chrono::seconds(1);
  std::optional<Clock::time_point> idleSince;
  while (true) {
    const Clock::time_point now = Clock::now();
    if (inFlight_ == 0) {
      if (!idleSince) idleSince = now;
      const Clock::time_point last{Clock::duration(lastStart_.load())};
      if (now - last >= kQuiet || now - *idleSince >= kMost503s) break;
    }
    std::this_thread::sleep_for(std::chrono::milliseconds(5));
  }
  http_->stop();
}

}  // namespace web
