#include "web/site.h"

#include <sstream>

#include "cli/format.h"

namespace web {

namespace {

// Past this much handed out since the VM was last given back, new requests wait for the running
// ones to end, so that a server under steady load still gives its memory back.
constexpr uint32_t kDrainSlots = 1u << 16;
constexpr uint32_t kDrainArenaBytes = 64u << 20;
// Whole-heap answers kept (the census by each prefix asked for, ...), at most.
constexpr size_t kKeptAnswers = 256;

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
  main_.session().dominators();
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
    if (kept_.size() >= kKeptAnswers) kept_.clear();  // many prefixes asked for: start again
    kept_[key] = std::make_shared<const Answer>(a);
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
