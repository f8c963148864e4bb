// threads and fields: what a person needs to tell objects apart in a heap where no Java code
// runs. threads is built from the queries (the instances of Thread, then the references of
// each); fields reads the object's words through the VM, as a debugger would.
#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>

#include "cli/dump_notes.h"
#include "cli/java_numbers.h"
#include "cli/links.h"
#include "cli/present.h"
#include "cli/query_commands.h"

namespace cli {
namespace {

// Elements of an array shown by fields, unless --limit says otherwise.
constexpr size_t kShownElements = 8;

struct Frame {
  std::string method;
  std::vector<uint32_t> objects;  // what its locals hold, in slot order
};

struct ThreadView {
  uint32_t handle = 0;
  std::string className, name;
  bool caller = false;        // the thread that runs the queries: its frames are never scanned
  bool running = false;       // it has a stack: started and not yet ended
  std::vector<Frame> frames;  // innermost first
};

std::string threadName(Session& s, uint32_t t) {
  try {
    const uint32_t name = s.vm().getField(t, "name");
    return name ? s.vm().stringValue(name) : std::string();
  } catch (const std::exception&) {
    return std::string();  // a thread class without a name field, or a name that is no string
  }
}

// The frames of a thread in stack order, innermost first, one per frame even where a method
// calls itself; false for a thread without a stack.
bool framesOf(Session& s, uint32_t t, std::vector<Frame>& frames) {
  std::vector<simvm::Vm::FrameView> stack;
  if (!s.vm().framesOf(t, stack)) return false;
  for (const simvm::Vm::FrameView& f : stack) {
    Frame frame{f.method, {}};
    for (uint32_t h : f.locals)  // a slot may hold a primitive: only handles of the heap count
      if (kindOf(s.vm(), h) != 0) frame.objects.push_back(h);
    frames.push_back(frame);
  }
  return true;
}

void printThreadsJson(Session& s, const std::vector<ThreadView>& threads, std::ostream& out) {
  std::vector<JsonObject> records;
  for (const ThreadView& t : threads) {
    JsonObject o;
    o.add("kind", "I").add("handle", int64_t{t.handle}).add("class", t.className);
    o.add("name", t.name).add("caller", t.caller).add("running", t.running);
    std::vector<JsonObject> frames;
    for (const Frame& f : t.frames) {
      std::vector<JsonObject> objects;
      for (uint32_t h : f.objects) {
        JsonObject held;
        held.add("handle", int64_t{h}).add("class", reportedClassName(s.vm(), h));
        objects.push_back(held);
      }
      JsonObject frame;
      frame.add("method", f.method).addRaw("objects", jsonArrayText(objects));
      frames.push_back(frame);
    }
    o.addRaw("frames", jsonArrayText(frames));
    addDumpIdJson(s, t.handle, o);
    records.push_back(o);
  }
  printJsonArray(out, records);
}

void printThreads(Session& s, const std::vector<ThreadView>& threads, size_t total, size_t running,
                  std::ostream& out) {
  // The row numbers right-aligned, and the frames indented past the widest of them.
  const size_t numberWidth = std::to_string(threads.size()).size();
  const std::string indent(numberWidth + 4, ' ');
  for (size_t i = 0; i < threads.size(); ++i) {
    const ThreadView& t = threads[i];
    const std::string number = std::to_string(i + 1);
    out << std::string(numberWidth - number.size(), ' ') << number << "  "
        << describeHandle(s, t.handle) << " \"" << printable(t.name) << "\"";
    if (const std::optional<std::string> id = dumpIdText(s, t.handle)) out << " " << *id;
    if (t.caller)
      out << ": the calling thread, whose frames are not scanned";
    else if (!t.running)
      out << ": not running (never started, or ended)";
    else if (t.frames.empty())
      out << ": no frames";
    out << '\n';
    size_t w = 0;
    for (const Frame& f : t.frames) w = std::max(w, printable(f.method).size());
    for (const Frame& f : t.frames) {
      std::string held;
      for (uint32_t h : f.objects) held += (held.empty() ? "" : ", ") + describeHandle(s, h);
      const std::string method = printable(f.method);
      out << indent << method << "()";
      if (!held.empty()) out << std::string(w - method.size() + 2, ' ') << held;
      out << '\n';
    }
  }
  out << plural(total, "thread", "threads") << ", " << running << " running"
      << " (each frame, innermost first: its method and the objects its locals hold)"
      << shownNote(total,
                   threads.size() < total ? std::optional<size_t>(threads.size()) : std::nullopt)
      << '\n';
}

// --- fields ------------------------------------------------------------------------------------

std::string quotedText(const std::string& text) {
  std::string q = quoteInput(text);  // printable, and cut short
  q.front() = q.back() = '"';
  return q;
}

// "0x7b (com/acme/shop/User)", "\"alice\"" for a string, "null" for 0, and for an array its
// length and first elements.
std::string referenceText(Session& s, uint32_t h, size_t elements);

std::string primitiveText(char letter, uint64_t bits) {
  const uint32_t low = static_cast<uint32_t>(bits);
  char buf[64];
  switch (letter) {
    case 'Z':
      return low ? "true" : "false";
    case 'B':
      return std::to_string(static_cast<int8_t>(low));
    case 'S':
      return std::to_string(static_cast<int16_t>(low));
    case 'C': {
      const uint16_t unit = static_cast<uint16_t>(low);
      if (unit == '\'' || unit == '\\') return std::string("'\\") + static_cast<char>(unit) + "'";
      if (unit >= 0x20 && unit < 0x7F) return std::string("'") + static_cast<char>(unit) + "'";
      std::snprintf(buf, sizeof buf, "'\\u%04x'", unit);
      return buf;
    }
    case 'I':
      return std::to_string(static_cast<int32_t>(low));
    case 'J':
      return std::to_string(static_cast<int64_t>(bits));
    case 'F': {
      float f;
      std::memcpy(&f, &low, sizeof f);
      return javaFloat(f);
    }
    case 'D': {
      double d;
      std::memcpy(&d, &bits, sizeof d);
      return javaDouble(d);
    }
    default:
      return "?";
  }
}

// The first `shown` elements of an array, blank-separated, "..." when there are more.
std::string elementsText(Session& s, uint32_t array, size_t shown) {
  simvm::Vm& vm = s.vm();
  const uint32_t length = vm.arrayLength(array);
  const int32_t type = vm.typeCodeOf(array);
  const size_t n = std::min<size_t>(length, shown);
  std::string text;
  if (type == simvm::kChar) {  // as text, the way a person reads a char[]
    std::string utf8;
    for (size_t i = 0; i < n; ++i) {
      const uint16_t u = vm.read16(vm.bodyOf(array) + static_cast<uint32_t>(2 * i));
      const uint16_t next =
          i + 1 < length ? vm.read16(vm.bodyOf(array) + static_cast<uint32_t>(2 * i + 2)) : 0;
      if (u >= 0xD800 && u < 0xDC00 && next >= 0xDC00 && next < 0xE000) {  // one character
        const uint32_t cp = 0x10000 + ((u - 0xD800u) << 10) + (next - 0xDC00u);
        utf8 += static_cast<char>(0xF0 | (cp >> 18));
        utf8 += static_cast<char>(0x80 | ((cp >> 12) & 0x3F));
        utf8 += static_cast<char>(0x80 | ((cp >> 6) & 0x3F));
        utf8 += static_cast<char>(0x80 | (cp & 0x3F));
        ++i;
      } else if (u < 0x80) {
        utf8 += static_cast<char>(u);
      } else if (u < 0x800) {
        utf8 += static_cast<char>(0xC0 | (u >> 6));
        utf8 += static_cast<char>(0x80 | (u & 0x3F));
      } else {  // a surrogate half comes out as bytes that printable escapes
        utf8 += static_cast<char>(0xE0 | (u >> 12));
        utf8 += static_cast<char>(0x80 | ((u >> 6) & 0x3F));
        utf8 += static_cast<char>(0x80 | (u & 0x3F));
      }
    }
    return quotedText(utf8) + (length > n ? " ..." : "");
  }
  for (size_t i = 0; i < n; ++i) {
    std::string item;
    if (type == simvm::kObjectArray) {
      const uint32_t e = vm.getElement(array, static_cast<uint32_t>(i));
      item = e ? hexHandle(e) : "null";
    } else {
      const char letter = simvm::primitiveLetter(type);
      const size_t size = elementBytes(letter);
      uint64_t bits = 0;
      std::memcpy(&bits, vm.pointer(vm.bodyOf(array) + static_cast<uint32_t>(i * size)), size);
      item = primitiveText(letter, bits);
    }
    text += (i ? " " : "") + item;
  }
  return text + (length > n ? " ..." : "");
}

std::string referenceText(Session& s, uint32_t h, size_t elements) {
  if (h == 0) return "null";
  const char kind = kindOf(s.vm(), h);
  if (kind == 0) return hexHandle(h) + " (not a handle of the heap)";
  if (kind == 'I' && reportedClassName(s.vm(), h) == "java/lang/String") {
    try {
      return hexHandle(h) + " " + quotedText(s.vm().stringValue(h));
    } catch (const std::exception&) {
    }
  }
  std::string text = describeHandle(s, h);
  if (kind == 'A' || kind == 'P') {
    text += " length " + std::to_string(s.vm().arrayLength(h));
    if (s.vm().arrayLength(h) > 0 && elements > 0) text += ": " + elementsText(s, h, elements);
  }
  return text;
}

struct FieldRow {
  std::string declaredBy, name, type, value;
  std::string vmCopy;  // with a dump: how the VM's copy differs from the dump's value, or ""
};

// "int", "long", "java/lang/String", "byte[]" from a signature.
std::string typeName(const std::string& signature) {
  std::string dims;
  size_t at = 0;
  while (at < signature.size() && signature[at] == '[') {
    dims += "[]";
    ++at;
  }
  if (at >= signature.size()) return signature;
  if (signature[at] == 'L') return signature.substr(at + 1, signature.size() - at - 2) + dims;
  for (int32_t code = simvm::kBoolean; code <= simvm::kLong; ++code)
    if (simvm::primitiveLetter(code) == signature[at]) return simvm::primitiveName(code) + dims;
  return signature;
}

bool isReference(const std::string& signature) {
  return !signature.empty() && (signature[0] == 'L' || signature[0] == '[');
}

// The instance fields of obj, its topmost class's first, read from its body.
std::vector<FieldRow> instanceFields(Session& s, uint32_t obj, size_t elements) {
  simvm::Vm& vm = s.vm();
  std::vector<uint32_t> chain;
  for (uint32_t c = vm.classOfObject(obj); c && chain.size() < 256; c = vm.superclassOf(c))
    chain.insert(chain.begin(), c);
  const uint32_t body = vm.bodyOf(obj);
  std::vector<FieldRow> rows;
  for (uint32_t c : chain) {
    for (const simvm::FieldDecl& f : vm.fieldsOf(c)) {
      if (f.isStatic) continue;
      const uint32_t at = body + vm.fieldOffset(c, f.name);
      const char letter = f.signature.empty() ? '?' : f.signature[0];
      std::string value;
      if (isReference(f.signature)) {
        value = referenceText(s, vm.read32(at), elements);
      } else {
        const uint64_t high = letter == 'J' || letter == 'D' ? vm.read32(at + 4) : 0;
        value = primitiveText(letter, high << 32 | vm.read32(at));
      }
      rows.push_back({vm.className(c), f.name, typeName(f.signature), value, ""});
    }
  }
  return rows;
}

// The static fields of a class, as its field table holds them.
std::vector<FieldRow> staticFields(Session& s, uint32_t cls, size_t elements) {
  simvm::Vm& vm = s.vm();
  std::vector<FieldRow> rows;
  for (const simvm::FieldDecl& f : vm.fieldsOf(cls)) {
    if (!f.isStatic) continue;
    const char letter = f.signature.empty() ? '?' : f.signature[0];
    std::string value;
    if (isReference(f.signature))
      value = referenceText(s, f.staticValue, elements);
    else if (letter == 'J' || letter == 'D')
      value = "(not kept: the VM holds one word per static)";
    else
      value = primitiveText(letter, f.staticValue);
    rows.push_back({vm.className(cls), f.name, "static " + typeName(f.signature), value, ""});
  }
  return rows;
}

// --- fields as a dump declares them ----------------------------------------------------------

const std::vector<simvm::LoadedHeap::DeclaredField>* declaredBy(Session& s, uint32_t cls) {
  const auto it = s.dump()->declaredFields.find(cls);
  return it == s.dump()->declaredFields.end() ? nullptr : &it->second;
}

std::string dumpTypeName(Session& s, uint32_t cls, const simvm::LoadedHeap::DeclaredField& f) {
  if (f.type != 'L') return typeName(std::string(1, f.type));
  // The dump calls every reference "object"; the VM's field knows more when it has one.
  for (const simvm::FieldDecl& d : s.vm().fieldsOf(cls))
    if (d.name == f.vmName && !f.vmName.empty()) return typeName(d.signature);
  return "java/lang/Object";
}

// The value the VM holds in field `vmName` of obj, read at the dump's width.
std::string vmValueText(Session& s, uint32_t obj, uint32_t cls, const std::string& vmName,
                        char type, size_t elements) {
  simvm::Vm& vm = s.vm();
  const uint32_t at = vm.bodyOf(obj) + vm.fieldOffset(cls, vmName);
  if (type == 'L') return referenceText(s, vm.read32(at), elements);
  const uint64_t high = type == 'J' || type == 'D' ? vm.read32(at + 4) : 0;
  return primitiveText(type, high << 32 | vm.read32(at));
}

// The instance fields of a dumped object as its dump declares them, the topmost class's
// first, with exact values; then the fields only the VM's class has.
std::vector<FieldRow> dumpInstanceFields(Session& s, uint32_t obj, size_t elements) {
  simvm::Vm& vm = s.vm();
  std::vector<uint32_t> chain;
  for (uint32_t c = vm.classOfObject(obj); c && chain.size() < 256; c = vm.superclassOf(c))
    chain.insert(chain.begin(), c);
  const std::vector<simvm::LoadedHeap::DroppedValue>& dropped = s.dump()->droppedValues;
  std::vector<FieldRow> rows;
  for (uint32_t c : chain) {
    const auto* declared = declaredBy(s, c);
    std::vector<std::string> shown;
    for (const auto& f : declared ? *declared : std::vector<simvm::LoadedHeap::DeclaredField>{}) {
      if (f.isStatic) continue;
      FieldRow row{vm.className(c), f.name, dumpTypeName(s, c, f), "", ""};
      if (!f.vmName.empty()) {
        row.value = vmValueText(s, obj, c, f.vmName, f.type, elements);
        shown.push_back(f.vmName);
        if (c == vm.stringClass() && f.name == "value" &&
            kindOf(vm, vm.read32(vm.bodyOf(obj) + vm.fieldOffset(c, f.vmName))) == 'P')
          row.vmCopy =
              "the VM holds the text as this char[]; the dump's value is bytes in its coder";
      } else {
        auto it = std::lower_bound(dropped.begin(), dropped.end(), obj,
                                   [](const auto& d, uint32_t h) { return d.object < h; });
        for (; it != dropped.end() && it->object == obj; ++it)
          if (it->cls == c && it->field == f.name)
            row.value = f.type == 'L' ? "@" + hexHandle(static_cast<uint32_t>(it->bits)).substr(2)
                                      : primitiveText(f.type, it->bits);
        if (row.value.empty()) row.value = "?";
        row.vmCopy = "the VM keeps no copy: its own field of this name is another word";
      }
      rows.push_back(row);
    }
    // What the VM's class has beyond the dump's declaration (its own layout of a well-known
    // class, such as a String's offset and count).
    for (const simvm::FieldDecl& d : vm.fieldsOf(c)) {
      if (d.isStatic || std::find(shown.begin(), shown.end(), d.name) != shown.end()) continue;
      const char letter = d.signature.empty() ? '?' : d.signature[0];
      const bool named = declared && std::any_of(declared->begin(), declared->end(),
                                                 [&](const auto& f) { return f.name == d.name; });
      rows.push_back(
          {vm.className(c), d.name, typeName(d.signature),
           vmValueText(s, obj, c, d.name, isReference(d.signature) ? 'L' : letter, elements),
           named ? "the VM's own word of this name, not the dump's value"
                 : "the VM's own field: the dump declares none of this name"});
    }
  }
  return rows;
}

// The statics of a dumped class as its dump declares them, with exact values (a long or double
// whole); then the statics only the VM's class has (the importer's "<class loader>", ...).
std::vector<FieldRow> dumpStaticFields(Session& s, uint32_t cls, size_t elements) {
  simvm::Vm& vm = s.vm();
  std::vector<FieldRow> rows;
  std::vector<std::string> shown;
  if (const auto* declared = declaredBy(s, cls))
    for (const auto& f : *declared) {
      if (!f.isStatic) continue;
      FieldRow row{vm.className(cls), f.name, "static " + dumpTypeName(s, cls, f),
                   f.type == 'L' ? referenceText(s, static_cast<uint32_t>(f.value), elements)
                                 : primitiveText(f.type, f.value),
                   ""};
      if (f.type == 'J' || f.type == 'D')
        row.vmCopy = "the VM keeps one word per static: its copy is 0";
      if (f.vmName.empty()) row.vmCopy = "the VM keeps no copy";
      shown.push_back(f.vmName);
      rows.push_back(row);
    }
  for (const simvm::FieldDecl& d : vm.fieldsOf(cls)) {
    if (!d.isStatic || std::find(shown.begin(), shown.end(), d.name) != shown.end()) continue;
    const char letter = d.signature.empty() ? '?' : d.signature[0];
    rows.push_back({vm.className(cls), d.name, "static " + typeName(d.signature),
                    isReference(d.signature) ? referenceText(s, d.staticValue, elements)
                                             : primitiveText(letter, d.staticValue),
                    "the VM's own: not a field the dump declares"});
  }
  return rows;
}

void printFields(Session& s, uint32_t h, const std::vector<FieldRow>& rows, OutputMode mode,
                 std::ostream& out) {
  if (mode == OutputMode::Json) {
    std::vector<JsonObject> records;
    for (const FieldRow& r : rows) {
      JsonObject o;
      o.add("declaredBy", r.declaredBy).add("field", r.name).add("type", r.type);
      o.add("value", r.value);
      if (!r.vmCopy.empty()) o.add("vmCopy", r.vmCopy);
      records.push_back(o);
    }
    printJsonArray(out, records);
    return;
  }
  if (!rows.empty()) {
    Table t;
    t.columns = {{"field"}, {"type"}, {"value"}};
    for (const FieldRow& r : rows)
      t.rows.push_back({printable(r.name), printable(r.type),
                        r.vmCopy.empty() ? r.value : r.value + "  (" + r.vmCopy + ")"});
    printTable(out, t);
  }
  out << plural(rows.size(), "field", "fields") << " of " << describeHandle(s, h) << '\n';
}

}  // namespace

int runThreads(Context& ctx, const Invocation& inv, std::ostream& out) {
  Session& s = ctx.session();
  s.requireStub("getHandles0", "threads");
  s.requireStub("getReferences0", "threads");
  const simvm::Report r = s.caller().handles(s.vm().threadClass(), true, 0);
  std::vector<uint32_t> handles;
  for (const simvm::Record& rec : r.records) handles.push_back(rec.handle);
  s.setLastHandles(handles);
  std::vector<ThreadView> threads;
  size_t running = 0;
  for (const simvm::Record& rec : r.records) {
    ThreadView t;
    t.handle = rec.handle;
    t.className = reportedClassName(s.vm(), rec.handle);
    t.name = threadName(s, rec.handle);
    t.caller = rec.handle == s.vm().currentThread();
    std::vector<Frame> frames;
    t.running = framesOf(s, rec.handle, frames);
    if (!t.caller) t.frames = std::move(frames);
    running += t.running;
    if (!inv.limit || threads.size() < *inv.limit) threads.push_back(t);
  }
  if (inv.output == OutputMode::Json)
    printThreadsJson(s, threads, out);
  else
    printThreads(s, threads, r.records.size(), running, out);
  return 0;
}

int runFields(Context& ctx, const Invocation& inv, std::ostream& out) {
  Session& s = ctx.session();
  const uint32_t h = s.resolveObject(inv.args[0]);
  requireHeapHandle(s, h, inv);
  const size_t elements = inv.limit.value_or(kShownElements);
  const char kind = kindOf(s.vm(), h);
  if (kind == 'A' || kind == 'P') {
    // An array has no fields: its length and elements stand in for them.
    const std::vector<FieldRow> rows{
        {"", "length", "int", std::to_string(s.vm().arrayLength(h)), ""},
        {"", "elements",
         kind == 'A' ? arrayTypeName(reportedClassName(s.vm(), h)) + "[]"
                     : arrayTypeName(reportedClassName(s.vm(), h)),
         elementsText(s, h, elements), ""}};
    printFields(s, h, rows, inv.output, out);
    return 0;
  }
  if (s.dump())  // what the dump declares, with its exact values
    printFields(s, h,
                kind == 'C' ? dumpStaticFields(s, h, elements) : dumpInstanceFields(s, h, elements),
                inv.output, out);
  else
    printFields(s, h, kind == 'C' ? staticFields(s, h, elements) : instanceFields(s, h, elements),
                inv.output, out);
  return 0;
}

}  // namespace cli
