#include "web/site.h"

#include <sstream>

#ifdef __GLIBC__
#include <malloc.h>
#endif

#include "cli/format.h"

namespace web {

namespace {

// Past this much handed out since the VM was last given back, new requests wait for the running
// ones to end, so that a server under steady load still gives its memory back.
constexpr uint32_t kDrainSlots = 1u << 16;
constexpr uint32_t kDrainArenaBytes = 64u << 20;
// Answers kept (the census by each prefix asked for, an object's referrers, ...), at most: so
// many, and so many bytes of their JSON text (parsed, they take some four times that).
constexpr size_t kKeptAnswers = 256;
constexpr size_t kKeptTextBytes = 4u << 20;

}  // namespace

std::string Answer::error() const {
  if (json.is_object() && json.contains("error") && json["error"].is_string())
    return json["error"].get<std::string>();
  return "";
}

void VmGate::enter(bool alone) {
  std::unique_lock<std::mutex> lock(mutex_);
  if (alone) {
    ++aloneWaiting_;
    changed_.wait(lock, [&] { return running_ == 0; });
    --aloneWaiting_;
    aloneRunning_ = true;
  } else {
    changed_.wait(lock, [&] { return !aloneRunning_ && aloneWaiting_ == 0 && !draining_; });
  }
  if (running_ == 0) mark_ = vm_.mark();
  ++running_;
  const simvm::Vm::Mark now = vm_.mark();
  if (now.nextSlot - mark_.nextSlot > kDrainSlots ||
      now.arenaNext - mark_.arenaNext > kDrainArenaBytes)
    draining_ = true;
}

void VmGate::leave(bool alone) {
  std::lock_guard<std::mutex> lock(mutex_);
  if (alone) aloneRunning_ = false;
  if (--running_ == 0) {
    vm_.releaseTo(mark_);
    draining_ = false;
  }
  changed_.notify_all();
}

Site::Site(cli::Context& main) : main_(main), gate_(main.session().vm()) {
  main_.baseline();
  // The dominator tree is read from the heap before any request runs, when nothing else calls
  // into the VM; every worker's session shares it (class, object and path pages show it).
  // The heap does not change while it is served: a page of an instance list asks the library
  // for the list once.
  main_.session().keepLists();
  // Ranked once now, so that no visitor's deep page of dominators pays for it.
  main_.session().dominators().rankAll();
#ifdef __GLIBC__
  malloc_trim(0);  // what reading the heap and ranking it freed
#endif
  callingThread_ = main_.session().vm().currentThread();
}

std::unique_ptr<cli::Context> Site::takeContext() {
  {
    std::lock_guard<std::mutex> lock(poolMutex_);
    if (!pool_.empty()) {
      std::unique_ptr<cli::Context> ctx = std::move(pool_.back());
      pool_.pop_back();
      return ctx;
    }
  }
  return std::make_unique<cli::Context>(main_, cli::Session::ForWorker{});
}

void Site::giveBack(std::unique_ptr<cli::Context> ctx) {
  std::lock_guard<std::mutex> lock(poolMutex_);
  pool_.push_back(std::move(ctx));
}

Answer Site::runInto(const std::vector<std::string>& words, bool alone, std::ostream& out) {
  Answer a;
  std::unique_ptr<cli::Context> ctx = takeContext();
  // The library's calls see the console's calling thread, whichever thread serves the request.
  vm().setCurrentThread(callingThread_);
  gate_.enter(alone);
  ctx->session().setSharingVm(!alone);
  ctx->session().takeListTotal();
  try {
    a.exitStatus = cli::runWords(*ctx, words, cli::OutputMode::Json, out);
    a.total = ctx->session().takeListTotal();
  } catch (const cli::UsageError& e) {
    gate_.leave(alone);
    giveBack(std::move(ctx));
    throw HttpError(400, e.what());
  } catch (const cli::CliError& e) {
    out << cli::jsonErrorRecord(e.what());
    a.exitStatus = cli::exitStatusOf(e);
    a.httpStatus = e.kind == cli::CliError::NotFound       ? 404
                   : e.kind == cli::CliError::DoesNotApply ? 422
                                                           : 500;
  } catch (const std::exception& e) {
    out << cli::jsonErrorRecord(e.what());
    a.exitStatus = 1;
    a.httpStatus = 500;
  }
  gate_.leave(alone);
  giveBack(std::move(ctx));
#ifdef __GLIBC__
  // An answer decodes a record for each of many objects (every referrer, every instance): the
  // blocks it freed go back to the system, not to this thread's arena for the life of the server.
  // A crawl of a thousand pages otherwise leaves each worker's arena at its largest answer.
  malloc_trim(0);
#endif
  return a;
}

Answer Site::run(const std::vector<std::string>& words, bool alone, bool keep) {
  std::string key;
  for (const std::string& w : words) key += w + '\0';
  if (keep) {
    std::lock_guard<std::mutex> lock(keptMutex_);
    if (auto it = kept_.find(key); it != kept_.end()) return *it->second;
  }
  std::ostringstream out;
  Answer a = runInto(words, alone, out);
  a.text = out.str();
  a.json = nlohmann::json::parse(a.text, nullptr, false);
  if (a.json.is_discarded()) a.json = nullptr;
  if (keep && a.exitStatus == 0) {
    std::lock_guard<std::mutex> lock(keptMutex_);
    if (a.text.size() <= kKeptTextBytes && !kept_.count(key)) {
      // The answers kept longest go first.
      while (!keptOrder_.empty() &&
             (kept_.size() >= kKeptAnswers || keptBytes_ + a.text.size() > kKeptTextBytes)) {
        const auto oldest = kept_.find(keptOrder_.front());
        keptBytes_ -= oldest->second->text.size();
        kept_.erase(oldest);
        keptOrder_.pop_front();
      }
      kept_.emplace(key, std::make_shared<const Answer>(a));
      keptOrder_.push_back(key);
      keptBytes_ += a.text.size();
    }
  }
  return a;
}

uint32_t Site::handleParam(const std::string& text) {
  const std::optional<uint32_t> h = cli::parseHandleNumber(text);
  if (!h)
    throw HttpError(400, "not a handle: " + cli::quoteInput(text) + " (write 0x hex or decimal)");
  if (cli::kindOf(vm(), *h) == 0)
    throw HttpError(404, "no class, object or array has the handle " + cli::hexHandle(*h));
  return *h;
}

}  // namespace web
