// The pages: each runs the console's commands through the site and writes their records as HTML.
#pragma once
#include <map>
#include <string>

#include "web/site.h"

namespace web {

using Params = std::multimap<std::string, std::string>;

std::string overviewPage(Site& site);
std::string censusPage(Site& site, const Params& params);
std::string classPage(Site& site, uint32_t cls, const Params& params);
std::string objectPage(Site& site, uint32_t h, const Params& params);
std::string dominatorsPage(Site& site, const Params& params);
std::string threadsPage(Site& site);
std::string rootsPage(Site& site);
std::string missingPage(Site& site, const Params& params);
// The search: a page to go to (a redirect, set in `location`), or a page that says why not.
std::string searchPage(Site& site, const std::string& query, std::string& location);
std::string errorPage(int status, const std::string& message);

}  // namespace web
