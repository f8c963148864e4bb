// class-info and info: the library's one-line descriptions, parsed into named parts.
#include <cstdint>
#include <cstdlib>

#include "cli/dump_notes.h"
#include "cli/present.h"
#include "cli/query_commands.h"

namespace cli {
namespace {

// The text cut at its first maxParts - 1 spaces (empty parts kept).
std::vector<std::string> splitSpaces(const std::string& text, size_t maxParts) {
  std::vector<std::string> parts;
  size_t at = 0;
  while (parts.size() + 1 < maxParts) {
    const size_t space = text.find(' ', at);
    if (space == std::string::npos) break;
    parts.push_back(text.substr(at, space - at));
    at = space + 1;
  }
  parts.push_back(text.substr(at));
  return parts;
}

uint32_t parseHex(const std::string& text) {
  return static_cast<uint32_t>(std::strtoul(text.c_str(), nullptr, 16));
}

// A description that begins "ERROR" is the library's way of saying no: the raw text in --raw,
// one error line otherwise; either way the exit status is 1.
bool presentDescriptionError(Session& s, uint32_t h, const std::string& text, OutputMode mode,
                             std::ostream& out) {
  if (text.compare(0, 6, "ERROR ") != 0) return false;
  if (mode == OutputMode::Raw) {
    out << text << '\n';
    return true;
  }
  // "ERROR handle 7b is not a valid class": the same, with the handle spelt as everywhere else.
  const size_t verb = text.find(" is");
  throw CliError(describeHandle(s, h) +
                     (verb == std::string::npos ? ": " + printable(text) : text.substr(verb)),
                 kindOf(s.vm(), h) == 0 ? CliError::NotFound : CliError::DoesNotApply);
}

// CLASS <name> <descriptor> <second name> <fields> <size> <methods> <interfaces> <abstract>
struct ClassDescription {
  std::string name, descriptor, secondName, fields, size, methods, interfaces, abstract;
};

// The text with `name` (which may hold blanks) after the first word made one word: the name
// is cut out and given back in `cut`, leaving "<first word> _ <rest>" to split on blanks.
std::string withNameCut(const std::string& text, const std::string& name, std::string& cut) {
  const size_t at = text.find(' ');
  if (name.empty() || at == std::string::npos || text.compare(at + 1, name.size(), name) != 0 ||
      text.size() <= at + 1 + name.size() || text[at + 1 + name.size()] != ' ')
    return text;
  cut = name;
  return text.substr(0, at + 1) + "_" + text.substr(at + 1 + name.size());
}

ClassDescription parseClassDescription(const std::string& libraryText, const std::string& name) {
  // The second name may be empty or hold spaces, so the counts are taken from the end; the
  // class's own name may hold them too, so it is taken from the class.
  std::string cut;
  const std::string text = withNameCut(libraryText, name, cut);
  const std::vector<std::string> t = splitSpaces(text, SIZE_MAX);
  if (t.size() < 9 || t[0] != "CLASS")
    throw CliError("the library's class description does not parse: " + printable(text));
  const size_t n = t.size();
  ClassDescription d;
  d.name = cut.empty() ? t[1] : cut;
  d.descriptor = t[2];
  for (size_t i = 3; i < n - 5; ++i) d.secondName += (i > 3 ? " " : "") + t[i];
  d.fields = t[n - 5];
  d.size = t[n - 4];
  d.methods = t[n - 3];
  d.interfaces = t[n - 2];
  d.abstract = t[n - 1];
  return d;
}

void printClassJson(Session& s, uint32_t cls, const ClassDescription& d, const std::string& text,
                    std::ostream& out) {
  JsonObject o;
  o.add("kind", "C")
      .add("handle", int64_t{cls})
      .add("class", d.name)
      .add("descriptor", "0x" + d.descriptor)
      .add("secondName", d.secondName)
      .add("fields", parseDecimal(d.fields))
      .add("instanceSize", parseDecimal(d.size))
      .add("text", text);
  if (s.dump())
    o.add("methods", kNotInDump).add("interfaces", kNotInDump).add("abstract", kNotInDump);
  else
    o.add("methods", parseDecimal(d.methods))
        .add("interfaces", parseDecimal(d.interfaces))
        .add("abstract", d.abstract == "true");
  addDumpIdJson(s, cls, o);
  printJsonArray(out, {o});
}

void printClassPairs(Session& s, uint32_t cls, const ClassDescription& d, std::ostream& out) {
  std::vector<std::pair<std::string, std::string>> pairs{
      {"class", printable(d.name)},
      {"handle", hexHandle(cls) + " (" + decimalHandle(cls) + ")"},
      {"descriptor", "0x" + d.descriptor},
      {"second name", printable(d.secondName)},
      {"fields", d.fields + " declared by the class itself"},
      {"instance size", d.size + " bytes"},
      {"methods", d.methods},
      {"interfaces", d.interfaces},
      {"abstract", d.abstract},
  };
  if (s.dump())  // a heap dump records no methods, interfaces or modifiers of a class
    for (size_t i = pairs.size() - 3; i < pairs.size(); ++i) pairs[i].second = kNotInDump;
  if (const std::optional<std::string> id = dumpIdText(s, cls)) pairs.emplace_back("dump id", *id);
  printPairs(out, pairs);
}

// The statics a dump's importer gives a class for what the dump records it refers to
// ("<class loader>", "<protection domain>", "<resolved_references>", ...): no field the class
// declares, though its field table holds them.
int64_t importerStatics(Session& s, uint32_t cls) {
  if (!s.dump()) return 0;
  int64_t n = 0;
  for (const simvm::FieldDecl& f : s.vm().fieldsOf(cls))
    n += f.isStatic && !f.name.empty() && f.name[0] == '<';
  return n;
}

// OBJECT <handle> <class> <body> <toString...>  or  ARRAY <handle> <class> <body> <length>
struct ObjectDescription {
  bool object = true;
  std::string handle, className, body, last;  // last: the toString or the length
};

ObjectDescription parseObjectDescription(const std::string& text, const std::string& name) {
  // "OBJECT <handle> <class> ...": the handle is one word, the class's name is known.
  const size_t first = text.find(' ');
  std::string cut;
  const std::vector<std::string> t =
      splitSpaces(first == std::string::npos
                      ? text
                      : text.substr(0, first + 1) + withNameCut(text.substr(first + 1), name, cut),
                  5);
  ObjectDescription d;
  d.object = t[0] == "OBJECT";
  if (t.size() < 5 || (!d.object && t[0] != "ARRAY"))
    throw CliError("the library's description does not parse: " + printable(text));
  d.handle = t[1];
  d.className = cut.empty() ? t[2] : cut;
  d.body = t[3];
  d.last = t[4];
  return d;
}

void printObjectJson(Session& s, uint32_t h, const ObjectDescription& d, const std::string& text,
                     std::ostream& out) {
  JsonObject o;
  o.add("kind", kindOf(s.vm(), h) == 'C' ? "C"
                : d.object               ? "I"
                                         : "A")
      .add("handle", int64_t{parseHex(d.handle)})
      .add("class", d.className)
      .add("body", "0x" + d.body);
  if (d.object)
    o.add("toString", d.last);
  else
    o.add("length", parseDecimal(d.last));
  o.add("text", text);
  addDumpIdJson(s, h, o);
  printJsonArray(out, {o});
}

// A toString as a table shows it: printable, cut after kQuotedLength characters with the
// length said (--json keeps it whole).
std::string shortText(const std::string& text) {
  const std::string quoted = quoteInput(text);
  if (quoted == "'" + printable(text) + "'") return printable(text);  // short enough
  return quoted.substr(1, quoted.size() - 2) + " (" + std::to_string(text.size()) +
         " bytes; --json shows all)";
}

void printObjectPairs(Session& s, uint32_t h, const ObjectDescription& d, std::ostream& out) {
  const uint32_t described = parseHex(d.handle);
  std::vector<std::pair<std::string, std::string>> pairs{
      {"kind", kindOf(s.vm(), h) == 'C' ? "class object"
               : d.object               ? "object"
                                        : "object array"},
      {"handle", hexHandle(described) + " (" + decimalHandle(described) + ")"},
      {d.object ? "class" : "element class", printable(d.className)},
      {"body", "0x" + d.body},
      {d.object ? "toString" : "length", d.object ? shortText(d.last) : printable(d.last)},
  };
  if (s.dump())
    pairs.emplace_back("dump id", dumpIdText(s, h).value_or("none (made after loading)"));
  printPairs(out, pairs);
}

}  // namespace

int runClassInfo(Context& ctx, const Invocation& inv, std::ostream& out) {
  Session& s = ctx.session();
  s.requireStub("getClassInfo0", "class-info");
  const uint32_t cls = s.resolveClass(inv.args[0]);
  const std::string text = s.caller().classInfo(cls);
  if (presentDescriptionError(s, cls, text, inv.output, out)) return 1;
  if (inv.output == OutputMode::Raw) {
    out << text << '\n';
    return 0;
  }
  ClassDescription d = parseClassDescription(text, s.vm().className(cls));
  d.fields = std::to_string(parseDecimal(d.fields) - importerStatics(s, cls));
  if (inv.output == OutputMode::Json)
    printClassJson(s, cls, d, text, out);
  else
    printClassPairs(s, cls, d, out);
  return 0;
}

int runInfo(Context& ctx, const Invocation& inv, std::ostream& out) {
  Session& s = ctx.session();
  s.requireStub("getHandleInfo0", "info");
  const uint32_t h = s.resolveObject(inv.args[0]);
  if (inv.output != OutputMode::Raw)
    if (const std::optional<std::string> note = primitiveArrayNote(s, h)) {
      s.setLastHandles({h});
      if (inv.output == OutputMode::Json) {
        JsonObject o;
        o.add("kind", "P")
            .add("handle", int64_t{h})
            .add("class", arrayTypeName(reportedClassName(s.vm(), h)))
            .add("length", int64_t{s.vm().arrayLength(h)})
            .add("note", *note);
        addDumpIdJson(s, h, o);
        printJsonArray(out, {o});
      } else {
        out << *note << '\n';
      }
      return 0;
    }
  const std::string text = s.caller().handleInfo(h);
  if (presentDescriptionError(s, h, text, inv.output, out)) return 1;
  if (inv.output == OutputMode::Raw) {
    out << text << '\n';
    return 0;
  }
  const char kind = kindOf(s.vm(), h);
  const ObjectDescription d = parseObjectDescription(
      text, kind == 'C' ? s.vm().className(s.vm().classClass()) : reportedClassName(s.vm(), h));
  if (inv.output == OutputMode::Json)
    printObjectJson(s, h, d, text, out);
  else
    printObjectPairs(s, h, d, out);
  return 0;
}

}  // namespace cli
