#include "cli/fuzz/report_input.h"

#include <sstream>
#include <string>

#include "cli/fuzz/console_context.h"
#include "cli/present.h"
#include "simvm/library.h"

namespace fuzzing {

void presentReportBytes(const uint8_t* data, size_t size) {
  const std::string bytes(reinterpret_cast<const char*>(data), size);
  try {
    (void)simvm::decodeUsageReport(bytes);
  } catch (const simvm::VmError&) {
  }
  simvm::Report report;
  try {
    report = simvm::decodeReport(bytes);
  } catch (const simvm::VmError&) {
    return;  // the console reports the library's fault
  }
  cli::Session& s = consoleContext().session();
  for (const simvm::Record& r : report.records) (void)cli::describeHandle(s, r.handle);
  const size_t limit = size == 0 ? 0 : data[0] % 4;
  for (cli::Detail detail : {cli::Detail::None, cli::Detail::Count, cli::Detail::Link}) {
    cli::ReportView view;
    view.detail = detail;
    view.holderIsClass = [](const simvm::Record& r) { return r.kind == 'C'; };
    view.summary = "summary";
    if (limit) view.limit = limit;
    for (cli::OutputMode mode : {cli::OutputMode::Table, cli::OutputMode::Json}) {
      std::ostringstream out;
      cli::presentReport(s, report, view, mode, out);
    }
  }
}

}  // namespace fuzzing
