#include "cli/demo_heap.h"

#include <string>

namespace cli {
namespace {

using simvm::ClassDecl;
using simvm::FieldDecl;
using simvm::Vm;

constexpr uint16_t kPublic = 0x0001;
constexpr uint16_t kFinal = 0x0010;
constexpr uint16_t kSuper = 0x0020;
constexpr uint16_t kAbstract = 0x0400;

constexpr uint32_t kSessionCount = 12;
constexpr uint32_t kExpiredSessions = 10;  // the first ten; the cache should have dropped them
constexpr uint32_t kSessionBufferBytes = 32768;
constexpr uint32_t kTableBuckets = 16;

FieldDecl field(const char* name, const char* signature) { return FieldDecl{name, signature}; }
FieldDecl staticField(const char* name, const char* signature, uint32_t value = 0) {
  return FieldDecl{name, signature, true, value};
}

struct ClassDef {
  const char* name;
  const char* super;  // nullptr: java/lang/Object
  const char* source;
  uint16_t methods, interfaces, flags;
  std::vector<FieldDecl> fields;
};

uint32_t define(Vm& vm, const ClassDef& d) {
  ClassDecl shape;
  shape.name = d.name;
  shape.super = d.super ? vm.findClass(d.super) : 0;
  shape.secondName = d.source;
  shape.methodCount = d.methods;
  shape.interfaceCount = d.interfaces;
  shape.accessFlags = d.flags;
  shape.fields = d.fields;
  return vm.defineClass(shape);
}

// The application's classes, superclasses before subclasses.
// clang-format off
std::vector<ClassDef> demoClasses() {
  const uint16_t pub = kPublic | kSuper;
  return {
      {"com/acme/util/ArrayList", nullptr, "ArrayList.java", 31, 3, pub,
       {field("elementData", "[Ljava/lang/Object;"), field("size", "I")}},
      {"com/acme/util/HashTable", nullptr, "HashTable.java", 24, 2, pub,
       {field("table", "[Lcom/acme/util/HashTable$Entry;"), field("count", "I"),
        field("threshold", "I")}},
      {"com/acme/util/HashTable$Entry", nullptr, "HashTable.java", 7, 1, kFinal | kSuper,
       {field("hash", "I"), field("key", "Ljava/lang/Object;"),
        field("value", "Ljava/lang/Object;"), field("next", "Lcom/acme/util/HashTable$Entry;")}},
      {"com/acme/shop/User", nullptr, "User.java", 9, 1, pub,
       {field("name", "Ljava/lang/String;"), field("email", "Ljava/lang/String;"),
        field("roles", "[Ljava/lang/String;")}},
      {"com/acme/shop/Item", nullptr, "Item.java", 6, 1, pub | kAbstract,
       {field("name", "Ljava/lang/String;"), field("priceCents", "I")}},
      {"com/acme/shop/Product", "com/acme/shop/Item", "Product.java", 8, 0, pub,
       {field("sku", "Ljava/lang/String;"), field("image", "[B")}},
      {"com/acme/shop/DigitalProduct", "com/acme/shop/Product", "DigitalProduct.java", 4, 0,
       pub | kFinal, {field("downloadUrl", "Ljava/lang/String;")}},
      {"com/acme/shop/Cart", nullptr, "Cart.java", 11, 0, pub,
       {field("owner", "Lcom/acme/shop/User;"), field("items", "Lcom/acme/util/ArrayList;")}},
      {"com/acme/shop/Session", nullptr, "Session.java", 14, 1, pub,
       {field("id", "Ljava/lang/String;"), field("user", "Lcom/acme/shop/User;"),
        field("cart", "Lcom/acme/shop/Cart;"), field("buffer", "[B"), field("lastAccess", "J"),
        field("expired", "Z")}},
      {"com/acme/shop/SessionCache", nullptr, "SessionCache.java", 6, 0, pub | kFinal,
       {staticField("sessions", "Lcom/acme/util/HashTable;"),
        staticField("maxIdleSeconds", "I", 1800)}},
      {"com/acme/shop/Catalog", nullptr, "Catalog.java", 5, 0, pub,
       {staticField("products", "Lcom/acme/util/ArrayList;"),
        staticField("categories", "[[Ljava/lang/String;"), staticField("stock", "[[I")}},
      {"com/acme/shop/Thumbnail", nullptr, "Thumbnail.java", 5, 0, pub,
       {field("pixels", "[I"), field("width", "I"), field("height", "I")}},
      {"com/acme/shop/ThumbnailCache", nullptr, "ThumbnailCache.java", 4, 0, pub,
       {staticField("refs", "Lcom/acme/util/ArrayList;")}},
      {"com/acme/shop/Request", nullptr, "Request.java", 10, 0, pub,
       {field("path", "Ljava/lang/String;"), field("session", "Lcom/acme/shop/Session;"),
        field("params", "[Ljava/lang/String;")}},
      {"com/acme/shop/RequestHandler", "java/lang/Thread", "RequestHandler.java", 5, 0, pub,
       {field("served", "I")}},
      {"com/acme/shop/CleanupWorker", "java/lang/Thread", "CleanupWorker.java", 4, 0, pub,
       {field("intervalSeconds", "I")}},
      {"com/acme/shop/Application", nullptr, "Application.java", 8, 0, pub,
       {field("handler", "Lcom/acme/shop/RequestHandler;"),
        field("worker", "Lcom/acme/shop/CleanupWorker;"), field("name", "Ljava/lang/String;")}},
  };
}
// clang-format on

// String.hashCode, so that the table's buckets are where a Java program would put them.
int32_t javaHash(const std::string& ascii) {
  uint32_t h = 0;
  for (unsigned char c : ascii) h = 31 * h + c;
  return static_cast<int32_t>(h);
}

uint32_t stringArray(Vm& vm, const std::vector<std::string>& texts) {
  const uint32_t a = vm.newObjectArray(vm.stringClass(), static_cast<uint32_t>(texts.size()));
  for (uint32_t i = 0; i < texts.size(); ++i) vm.setElement(a, i, vm.newString(texts[i]));
  return a;
}

// An ArrayList with room for `capacity` elements, filled with `items`.
uint32_t arrayList(Vm& vm, const std::vector<uint32_t>& items, uint32_t capacity) {
  const uint32_t list = vm.newObject(vm.findClass("com/acme/util/ArrayList"));
  const uint32_t data = vm.newObjectArray(vm.objectClass(), capacity);
  for (uint32_t i = 0; i < items.size(); ++i) vm.setElement(data, i, items[i]);
  vm.setField(list, "elementData", data);
  vm.setField(list, "size", static_cast<uint32_t>(items.size()));
  return list;
}

uint32_t primitiveArrayClass(Vm& vm, const char* name) {
  if (uint32_t c = vm.findClass(name)) return c;
  ClassDecl shape;
  shape.name = name;
  shape.accessFlags = 0x0411;  // public final abstract, as array classes are
  return vm.defineClass(shape);
}

std::vector<uint32_t> makeUsers(Vm& vm) {
  const uint32_t cls = vm.findClass("com/acme/shop/User");
  const char* names[] = {"alice", "bob", "carol", "dave"};
  std::vector<uint32_t> users;
  for (const char* n : names) {
    const uint32_t u = vm.newObject(cls);
    vm.setField(u, "name", vm.newString(n));
    vm.setField(u, "email", vm.newString(std::string(n) + "@example.com"));
    vm.setField(u, "roles",
                stringArray(vm, n[0] == 'a' ? std::vector<std::string>{"customer", "admin"}
                                            : std::vector<std::string>{"customer"}));
    users.push_back(u);
  }
  return users;
}

std::vector<uint32_t> makeProducts(Vm& vm) {
  struct ProductDef {
    const char* cls;
    const char* name;
    int price;
    const char* sku;
    uint32_t image;
  };
  const ProductDef products[] = {
      {"com/acme/shop/Product", "Espresso machine", 24900, "EM-100", 4096},
      {"com/acme/shop/Product", "Coffee grinder", 8900, "CG-20", 2048},
      {"com/acme/shop/Product", "Milk jug", 1900, "MJ-3", 1024},
      {"com/acme/shop/DigitalProduct", "Barista course", 4900, "BC-1", 512},
      {"com/acme/shop/DigitalProduct", "Latte art e-book", 1500, "LA-2", 512},
  };
  std::vector<uint32_t> out;
  for (const ProductDef& p : products) {
    const uint32_t o = vm.newObject(vm.findClass(p.cls));
    vm.setField(o, "name", vm.newString(p.name));
    vm.setField(o, "priceCents", static_cast<uint32_t>(p.price));
    vm.setField(o, "sku", vm.newString(p.sku));
    vm.setField(o, "image", vm.newArray(simvm::kByte, p.image));
    if (std::string(p.cls) == "com/acme/shop/DigitalProduct")
      vm.setField(o, "downloadUrl",
                  vm.newString(std::string("https://shop.example.com/d/") + p.sku));
    out.push_back(o);
  }
  return out;
}

// The session cache: a HashTable of session id -> Session, chained in buckets.
void makeSessions(Vm& vm, DemoHeap& demo, const std::vector<uint32_t>& users,
                  const std::vector<uint32_t>& products) {
  const uint32_t tableClass = vm.findClass("com/acme/util/HashTable");
  const uint32_t entryClass = vm.findClass("com/acme/util/HashTable$Entry");
  const uint32_t cartClass = vm.findClass("com/acme/shop/Cart");

  const uint32_t table = vm.newObject(tableClass);
  const uint32_t buckets = vm.newObjectArray(entryClass, kTableBuckets);
  vm.setField(table, "table", buckets);
  vm.setField(table, "threshold", kTableBuckets * 3 / 4);
  vm.setStatic(demo.sessionCacheClass, "sessions", table);
  demo.sessionTable = table;

  for (uint32_t i = 0; i < kSessionCount; ++i) {
    const std::string id = "S-" + std::to_string(1001 + i);
    const uint32_t user = users[i % users.size()];
    const uint32_t cart = vm.newObject(cartClass);
    vm.setField(cart, "owner", user);
    std::vector<uint32_t> items{products[i % products.size()]};
    if (i % 3 == 0) items.push_back(products[(i + 2) % products.size()]);
    vm.setField(cart, "items", arrayList(vm, items, 4));

    const uint32_t s = vm.newObject(demo.sessionClass);
    vm.setField(s, "id", vm.newString(id));
    vm.setField(s, "user", user);
    vm.setField(s, "cart", cart);
    vm.setField(s, "buffer", vm.newArray(simvm::kByte, kSessionBufferBytes));
    const uint32_t lastAccess = 1700000000u + i * 600;  // low word of a long: seconds
    vm.write32(vm.bodyOf(s) + vm.fieldOffset(demo.sessionClass, "lastAccess"), lastAccess);
    vm.setField(s, "expired", i < kExpiredSessions ? 1 : 0);
    demo.sessions.push_back(s);

    const int32_t hash = javaHash(id);
    const uint32_t bucket = static_cast<uint32_t>(hash & 0x7FFFFFFF) % kTableBuckets;
    const uint32_t e = vm.newObject(entryClass);
    vm.setField(e, "hash", static_cast<uint32_t>(hash));
    vm.setField(e, "key", vm.getField(s, "id"));
    vm.setField(e, "value", s);
    vm.setField(e, "next", vm.getElement(buckets, bucket));  // new entries go first
    vm.setElement(buckets, bucket, e);
  }
  vm.setField(table, "count", kSessionCount);
  demo.leakedSession = demo.sessions[3];
  demo.activeSession = demo.sessions[kSessionCount - 1];
}

// The bucket entry whose value is `session`.
uint32_t entryOf(Vm& vm, uint32_t table, uint32_t session) {
  const uint32_t buckets = vm.getField(table, "table");
  for (uint32_t b = 0; b < kTableBuckets; ++b)
    for (uint32_t e = vm.getElement(buckets, b); e; e = vm.getField(e, "next"))
      if (vm.getField(e, "value") == session) return e;
  return 0;
}

void makeCatalog(Vm& vm, const std::vector<uint32_t>& products) {
  const uint32_t catalog = vm.findClass("com/acme/shop/Catalog");
  vm.setStatic(catalog, "products", arrayList(vm, products, 8));

  const uint32_t stringArrayClass = vm.arrayClassOf(vm.stringClass());
  const uint32_t categories = vm.newObjectArray(stringArrayClass, 2);
  vm.setElement(categories, 0, stringArray(vm, {"machines", "accessories"}));
  vm.setElement(categories, 1, stringArray(vm, {"courses", "books", "downloads"}));
  vm.setStatic(catalog, "categories", categories);

  const uint32_t stock = vm.newObjectArray(primitiveArrayClass(vm, "[I"), 3);
  for (uint32_t i = 0; i < 3; ++i) vm.setElement(stock, i, vm.newArray(simvm::kInt, 5));
  vm.setStatic(catalog, "stock", stock);
}

void makeThumbnails(Vm& vm, DemoHeap& demo) {
  const uint32_t cls = vm.findClass("com/acme/shop/Thumbnail");
  std::vector<uint32_t> refs;
  for (uint32_t i = 0; i < 3; ++i) {
    const uint32_t t = vm.newObject(cls);
    vm.setField(t, "pixels", vm.newArray(simvm::kInt, 64 * 64));
    vm.setField(t, "width", 64);
    vm.setField(t, "height", 64);
    refs.push_back(vm.newWeakReference(t));
    if (i == 0) demo.heldThumbnail = t;
    if (i == 1) demo.weakThumbnail = t;
  }
  vm.setStatic(vm.findClass("com/acme/shop/ThumbnailCache"), "refs", arrayList(vm, refs, 4));
}

// Threads and what their frames hold; frames are pushed outermost first.
void makeThreads(Vm& vm, DemoHeap& demo, const std::vector<uint32_t>& products) {
  const uint32_t cart = vm.getField(demo.activeSession, "cart");

  demo.requestHandler =
      vm.newThread("request-handler", vm.findClass("com/acme/shop/RequestHandler"));
  vm.setField(demo.requestHandler, "served", 4711);
  const uint32_t request = vm.newObject(vm.findClass("com/acme/shop/Request"));
  vm.setField(request, "path", vm.newString("/cart/checkout"));
  vm.setField(request, "session", demo.activeSession);
  vm.setField(request, "params", stringArray(vm, {"item=EM-100", "qty=1"}));
  uint32_t f = vm.pushFrame(demo.requestHandler, "run", 1);
  vm.setLocal(f, 0, demo.requestHandler);
  f = vm.pushFrame(demo.requestHandler, "handle", 2);
  vm.setLocal(f, 0, demo.requestHandler);
  vm.setLocal(f, 1, request);
  f = vm.pushFrame(demo.requestHandler, "process", 5);
  vm.setLocal(f, 0, demo.requestHandler);
  vm.setLocal(f, 1, cart);
  vm.setLocal(f, 2, products[0]);
  vm.setLocal(f, 3, 2);  // an int that is no handle: the stack scan must pass over it
  vm.setLocal(f, 4, demo.heldThumbnail);

  demo.worker = vm.newThread("worker-1", vm.findClass("com/acme/shop/CleanupWorker"));
  vm.setField(demo.worker, "intervalSeconds", 60);
  f = vm.pushFrame(demo.worker, "run", 1);
  vm.setLocal(f, 0, demo.worker);
  f = vm.pushFrame(demo.worker, "sweep", 3);
  vm.setLocal(f, 0, demo.worker);
  vm.setLocal(f, 1, demo.sessionTable);
  vm.setLocal(f, 2, entryOf(vm, demo.sessionTable, demo.sessions[7]));

  demo.application = vm.newObject(vm.findClass("com/acme/shop/Application"));
  vm.setField(demo.application, "handler", demo.requestHandler);
  vm.setField(demo.application, "worker", demo.worker);
  vm.setField(demo.application, "name", vm.newString("acme-shop"));
  demo.mainThread = vm.currentThread();
  f = vm.pushFrame(demo.mainThread, "main", 2);
  vm.setLocal(f, 0, stringArray(vm, {"--port=8080"}));
  vm.setLocal(f, 1, demo.application);
}

// Java programs describe themselves; the descriptions show up in `info`.
void installToStrings(Vm& vm) {
  Vm* v = &vm;
  vm.setToString(vm.findClass("com/acme/shop/Session"),
                 [v](uint32_t s) -> std::optional<std::string> {
                   return "Session[" + v->stringValue(v->getField(s, "id")) +
                          ", user=" + v->stringValue(v->getField(v->getField(s, "user"), "name")) +
                          (v->getField(s, "expired") ? ", expired]" : ", active]");
                 });
  vm.setToString(vm.findClass("com/acme/shop/User"), [v](uint32_t u) -> std::optional<std::string> {
    return "User[" + v->stringValue(v->getField(u, "name")) + "]";
  });
  vm.setToString(vm.findClass("com/acme/shop/Item"), [v](uint32_t p) -> std::optional<std::string> {
    return v->stringValue(v->getField(p, "name")) + " (" + v->stringValue(v->getField(p, "sku")) +
           ")";
  });
  vm.setToString(vm.threadClass(), [v](uint32_t t) -> std::optional<std::string> {
    return "Thread[" + v->stringValue(v->getField(t, "name")) + ",5,main]";
  });
}

}  // namespace

simvm::VmConfig demoHeapConfig(bool high) {
  simvm::VmConfig config;
  config.slots = 1u << 12;
  config.arenaBytes = 4u << 20;
  config.high = high;
  return config;
}

DemoHeap buildDemoHeap(Vm& vm) {
  DemoHeap demo;
  for (const ClassDef& d : demoClasses()) define(vm, d);
  demo.sessionCacheClass = vm.findClass("com/acme/shop/SessionCache");
  demo.sessionClass = vm.findClass("com/acme/shop/Session");
  demo.itemClass = vm.findClass("com/acme/shop/Item");
  demo.productClass = vm.findClass("com/acme/shop/Product");

  const std::vector<uint32_t> users = makeUsers(vm);
  const std::vector<uint32_t> products = makeProducts(vm);
  makeCatalog(vm, products);
  makeSessions(vm, demo, users, products);
  makeThumbnails(vm, demo);
  makeThreads(vm, demo, products);
  installToStrings(vm);
  return demo;
}

}  // namespace cli
