// The web pages' request handling under a fuzzer, without a socket: the input is a request as
// it comes off the wire, minus the method and version,
//
//   PATH[?QUERY]          the request target (first line)
//   Name: value           up to 8 header lines (Host among them, or none)
//
// taken apart as httplib takes a request line and headers (the path and header values
// percent-decoded, the query by httplib's own parser), and answered by web::Server::answer on
// the demo heap, through the routing and handlers the live server runs. A status the server
// never gives (500 above all), an empty body, a redirect without a Location, /api text that is
// no JSON, or a '<' in a page that opens no tag (text the page did not escape) is a finding:
// the entry aborts with what it saw.
#pragma once
#include <cstddef>
#include <cstdint>

namespace fuzzing {

void answerRequest(const uint8_t* data, size_t size);

}  // namespace fuzzing
