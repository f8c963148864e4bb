#include "web/fuzz/request_input.h"

#include <httplib.h>

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <nlohmann/json.hpp>
#include <string>

#include "cli/fuzz/console_context.h"
#include "web/server.h"
#include "web/site.h"

namespace fuzzing {
namespace {

[[noreturn]] void finding(const std::string& what, const httplib::Request& req,
                          const httplib::Response& res) {
  std::fprintf(stderr, "request fuzzing: %s\n  path %s\n  status %d\n  body %.400s\n", what.c_str(),
               req.target.c_str(), res.status, res.body.c_str());
  std::abort();
}

// The address the pages are served as: a request's Host must name it (or localhost) and its port.
constexpr int kPort = 8080;

// The demo heap's pages, made once per process. The site opens the fuzzing entries' console
// context: the stand-in VM's services act on the newest VM of a process, so a second heap
// would take them from the console's.
web::Server& server() {
  static web::Site site(consoleContext());
  static web::Server server(site);
  static const bool addressed = (server.serveAs("127.0.0.1", kPort), true);
  (void)addressed;
  return server;
}

// A long list is written as it is made, by a content provider: its body is what the provider
// writes until it says it is done, as the socket would get it.
void readStreamedBody(httplib::Response& res) {
  if (!res.content_provider_) return;
  bool done = false;
  httplib::DataSink sink;
  sink.write = [&](const char* data, size_t size) {
    res.body.append(data, size);
    return true;
  };
  sink.is_writable = [] { return true; };
  sink.done = [&] { done = true; };
  while (!done && res.content_provider_(res.body.size(), 0, sink)) {
  }
}

// As httplib reads a header line: "Name: value", the value trimmed and percent-decoded. False
// for a line httplib refuses (no colon, no value), which the server answers with 400 unrouted.
bool addHeader(const std::string& line, httplib::Request& req) {
  size_t end = line.size();
  while (end > 0 && (line[end - 1] == ' ' || line[end - 1] == '\t')) --end;
  const size_t colon = line.find(':');
  if (colon == std::string::npos || colon >= end) return false;
  size_t value = colon + 1;
  while (value < end && (line[value] == ' ' || line[value] == '\t')) ++value;
  if (value == end) return false;
  req.headers.emplace(line.substr(0, colon),
                      httplib::detail::decode_url(line.substr(value, end - value), false));
  return true;
}

// The statuses the pages and their router give: pages, redirects of a search, malformed
// parameters, a foreign Host, nothing there, and a query the heap cannot answer.
bool expectedStatus(int status) {
  switch (status) {
    case 200:
    case 303:
    case 400:
    case 403:
    case 404:
    case 421:
    case 422:
      return true;
    default:
      return false;
  }
}

// Every '<' of a page opens a tag, a closing tag or a comment; text from the heap or the request
// is escaped, so a '<' before anything else is text that was not.
void checkMarkup(const httplib::Request& req, const httplib::Response& res) {
  const std::string& b = res.body;
  for (size_t at = b.find('<'); at != std::string::npos; at = b.find('<', at + 1)) {
    const char next = at + 1 < b.size() ? b[at + 1] : '\0';
    const bool opens =
        (next >= 'a' && next <= 'z') || (next >= 'A' && next <= 'Z') || next == '/' || next == '!';
    if (!opens)
      finding("a '<' in the page that opens no tag, at byte " + std::to_string(at), req, res);
  }
}

void checkResponse(const httplib::Request& req, const httplib::Response& res) {
  if (res.status == 500) finding("the server failed (500)", req, res);
  if (!expectedStatus(res.status)) finding("a status the server never gives", req, res);
  if (res.status == 303) {
    if (res.get_header_value("Location").empty())
      finding("a redirect without a Location", req, res);
    return;
  }
  if (res.body.empty()) finding("an empty body", req, res);
  const std::string type = res.get_header_value("Content-Type");
  if (type.rfind("application/json", 0) == 0 && !nlohmann::json::accept(res.body))
    finding("JSON that does not parse", req, res);
  if (type.rfind("text/html", 0) == 0) checkMarkup(req, res);
}

}  // namespace

void answerRequest(const uint8_t* data, size_t size) {
  const std::string input(reinterpret_cast<const char*>(data), size);
  const size_t firstEnd = std::min(input.find('\n'), input.size());
  const std::string target = input.substr(0, firstEnd);
  // A target with a blank, a CR or more than one '?' never reaches the handlers: httplib
  // refuses its request line.
  if (target.empty() || target.find_first_of(" \r") != std::string::npos) return;
  const size_t question = target.find('?');
  if (question != std::string::npos && target.find('?', question + 1) != std::string::npos) return;

  httplib::Request req;
  req.method = "GET";
  req.version = "HTTP/1.1";
  req.target = target;
  req.path = httplib::detail::decode_url(target.substr(0, question), false);
  if (question != std::string::npos && question + 1 < target.size())
    httplib::detail::parse_query_text(target.substr(question + 1), req.params);
  size_t at = firstEnd + 1;
  for (int n = 0; n < 8 && at < input.size(); ++n) {
    const size_t end = std::min(input.find('\n', at), input.size());
    std::string line = input.substr(at, end - at);
    if (!line.empty() && line.back() == '\r') line.pop_back();
    if (!addHeader(line, req)) return;
    at = end + 1;
  }
  req.remote_addr = "127.0.0.1";
  req.remote_port = 40000;
  req.set_header("REMOTE_ADDR", req.remote_addr);
  req.set_header("REMOTE_PORT", std::to_string(req.remote_port));

  httplib::Response res;
  server().answer(req, res);
  // A handler that set no status answers 200: httplib sets it once the handler returns.
  if (res.status == -1) res.status = 200;
  readStreamedBody(res);
  checkResponse(req, res);
}

}  // namespace fuzzing
