#include "web/server.h"

#include <httplib.h>

#include <chrono>

#include "cli/format.h"
#include "web/html.h"
#include "web/pages.h"

namespace web {
namespace {

constexpr const char* kHtml = "text/html; charset=utf-8";
constexpr const char* kJson = "application/json; charset=utf-8";
constexpr size_t kWorkers = 8;

Params paramsOf(const httplib::Request& req) {
  return Params(req.params.begin(), req.params.end());
}

bool flag(const httplib::Request& req, const char* name) {
  const std::string v = req.get_param_value(name);
  return req.has_param(name) && v != "0" && v != "off";
}

// The console command behind /api/NAME[/HANDLE]: the same words the console takes.
std::vector<std::string> apiWords(Site& site, const std::string& name, const std::string& arg,
                                  const httplib::Request& req) {
  static const std::vector<std::string> kWholeHeap{"classes", "usage", "threads", "missing",
                                                   "dominators"};
  static const std::vector<std::string> kOfHandle{"class-info", "instances", "info", "fields",
                                                  "refs",       "referrers", "path", "retained"};
  std::vector<std::string> words{name};
  const bool wholeHeap = std::find(kWholeHeap.begin(), kWholeHeap.end(), name) != kWholeHeap.end();
  const bool ofHandle = std::find(kOfHandle.begin(), kOfHandle.end(), name) != kOfHandle.end();
  if (!wholeHeap && !ofHandle) throw HttpError(404, "no such query: " + cli::quoteInput(name));
  if (ofHandle) {
    if (arg.empty()) throw HttpError(400, name + " needs a handle: /api/" + name + "/0x...");
    words.push_back(cli::hexHandle(site.handleParam(arg)));
  } else if (!arg.empty()) {
    throw HttpError(404, name + " takes no handle");
  }
  const std::string prefix = req.get_param_value("prefix");
  if (!prefix.empty()) {
    if (name != "classes" && name != "usage")
      throw HttpError(400, "prefix is for classes and usage");
    if (prefix[0] == '-') throw HttpError(400, "a prefix does not begin with '-'");
    words.push_back(prefix);
  }
  if (flag(req, "credit")) words.push_back("--superclasses");
  if (flag(req, "by-count")) words.push_back("--by-count");
  if (flag(req, "arrays")) words.push_back("--arrays");
  if (flag(req, "subclasses")) words.push_back("--subclasses");
  if (flag(req, "retained")) {
    if (name != "classes") throw HttpError(400, "retained is a column of classes");
    words.push_back("--retained");
  }
  if (req.has_param("skip")) {
    if (name != "instances" && name != "refs" && name != "referrers")
      throw HttpError(400, "skip is for instances, refs and referrers");
    const std::string skip = req.get_param_value("skip");
    if (!cli::parseCount(skip)) throw HttpError(400, "skip must be a whole number");
    words.push_back("--skip");
    words.push_back(skip);
  }
  if (req.has_param("limit")) {
    const std::string limit = req.get_param_value("limit");
    if (!cli::parseCount(limit)) throw HttpError(400, "limit must be a whole number");
    words.push_back("--limit");
    words.push_back(limit);
  }
  return words;
}

bool alone(const std::string& name) {
  return name == "classes" || name == "usage" || name == "instances" || name == "threads";
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

  // Every handler: its server time in a header, and errors as pages (or JSON under /api).
  auto handle = [this](std::function<void(const httplib::Request&, httplib::Response&)> body) {
    return [this, body](const httplib::Request& req, httplib::Response& res) {
      const auto start = std::chrono::steady_clock::now();
      const bool api = req.path.rfind("/api/", 0) == 0;
      try {
        body(req, res);
      } catch (const HttpError& e) {
        res.status = e.status;
        if (api)
          res.set_content("{\"error\": " + cli::jsonString(e.what()) + "}\n", kJson);
        else
          res.set_content(errorPage(e.status, e.what()), kHtml);
      } catch (const std::exception& e) {
        res.status = 500;
        if (api)
          res.set_content("{\"error\": " + cli::jsonString(e.what()) + "}\n", kJson);
        else
          res.set_content(errorPage(500, e.what()), kHtml);
      }
      const double ms =
          std::chrono::duration<double, std::milli>(std::chrono::steady_clock::now() - start)
              .count();
      res.set_header("Server-Timing", "app;dur=" + std::to_string(ms));
      // Pages need no script and load nothing: a text from the heap can run nothing either.
      res.set_header("Content-Security-Policy",
                     "default-src 'none'; style-src 'unsafe-inline'; img-src data:; "
                     "form-action 'self'; base-uri 'none'");
      res.set_header("X-Content-Type-Options", "nosniff");
      res.set_header("Cache-Control", "no-store");
    };
  };
  auto htmlPage = [this, handle](std::function<std::string(const httplib::Request&)> make) {
    return handle([make](const httplib::Request& req, httplib::Response& res) {
      res.set_content(make(req), kHtml);
    });
  };

  s.Get("/", htmlPage([this](const httplib::Request&) { return overviewPage(site_); }));
  s.Get("/classes",
        htmlPage([this](const httplib::Request& req) { return censusPage(site_, paramsOf(req)); }));
  s.Get(R"(/class/([^/]+))", htmlPage([this](const httplib::Request& req) {
          return classPage(site_, site_.handleParam(req.matches[1]), paramsOf(req));
        }));
  s.Get(R"(/object/([^/]+))", htmlPage([this](const httplib::Request& req) {
          return objectPage(site_, site_.handleParam(req.matches[1]), paramsOf(req));
        }));
  s.Get("/dominators", htmlPage([this](const httplib::Request& req) {
          return dominatorsPage(site_, paramsOf(req));
        }));
  s.Get("/threads", htmlPage([this](const httplib::Request&) { return threadsPage(site_); }));
  s.Get("/roots", htmlPage([this](const httplib::Request&) { return rootsPage(site_); }));
  s.Get("/missing", htmlPage([this](const httplib::Request& req) {
          return missingPage(site_, paramsOf(req));
        }));
  s.Get("/search", handle([this](const httplib::Request& req, httplib::Response& res) {
          std::string location;
          const std::string html = searchPage(site_, req.get_param_value("q"), location);
          if (!location.empty())
            res.set_redirect(location, 303);
          else
            res.set_content(html, kHtml);
        }));
  s.Get(R"(/api/([a-z-]+)(?:/([^/]+))?)",
        handle([this](const httplib::Request& req, httplib::Response& res) {
          const std::string name = req.matches[1];
          const std::vector<std::string> words = apiWords(site_, name, req.matches[2], req);
          const Answer a = site_.run(words, alone(name), words.size() == 1);
          res.set_content(a.text, kJson);
        }));
  s.set_error_handler([](const httplib::Request& req, httplib::Response& res) {
    if (!res.body.empty()) return;
    const std::string what =
        res.status == 404 ? "no page at " + req.path : "the request could not be served";
    if (req.path.rfind("/api/", 0) == 0)
      res.set_content("{\"error\": " + cli::jsonString(what) + "}\n", kJson);
    else
      res.set_content(errorPage(res.status, what), kHtml);
  });
}

Server::~Server() = default;

int Server::bind(const std::string& host, int port) {
  if (port == 0) return http_->bind_to_any_port(host);
  return http_->bind_to_port(host, port) ? port : -1;
}

void Server::listen() { http_->listen_after_bind(); }
void Server::stop() { http_->stop(); }

}  // namespace web
