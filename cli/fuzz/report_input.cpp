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
  // The first byte picks the view (details, output, row limit): each case renders once.
  const uint8_t pick = size == 0 ? 0 : data[0];
  static const cli::Detail kDetails[] = {cli::Detail::None, cli::Detail::Count, cli::Detail::Link};
  cli::ReportView view;
  view.detail = kDetails[pick % 3];
  view.holderIsClass = [](const simvm::Record& r) { return r.kind == 'C'; };
  view.summary = "summary";
  if (pick / 3 % 4) view.limit = pick / 3 % 4;
  std::ostringstream out;
  cli::presentReport(s, report, view,
                     pick / 12 % 2 ? cli::OutputMode::Json : cli::OutputMode::Table, out);
}

}  // namespace fuzzing
