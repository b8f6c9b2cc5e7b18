// Crash-time code: no allocation, no lock, only async-signal-safe calls.
#include "crash/capture/image/SymbolLookup.h"

#include "crash/capture/image/ObjCMetadata.h"

namespace ovcrash {

namespace {

struct LookupContext {
    char name[256];
    uint64_t address;
    bool found;
};

void keepBetter(uint64_t address, const char* name, void* ctx) {
    auto* c = static_cast<LookupContext*>(ctx);
    if (c->found && address < c->address) return;
    size_t n = 0;
    for (; n < sizeof c->name - 1 && name[n]; ++n) c->name[n] = name[n];
    c->name[n] = '\0';
    c->address = address;
    c->found = true;
}

// A method found in the class metadata, named "-[Class method]" or
// "+[Class method]", cut to 255 bytes (the bracket goes first).
void keepMethod(bool is_class, macho_string* class_name, macho_string* method_name, uint64_t imp, void* ctx) {
    auto* c = static_cast<LookupContext*>(ctx);
    if (c->found && imp < c->address) return;
    const char* cls;
    const char* method;
    if (macho_string_pointer(class_name, &cls) != ASYNC_ESUCCESS ||
        macho_string_pointer(method_name, &method) != ASYNC_ESUCCESS)
        return;
    char name[sizeof c->name];
    size_t n = 0;
    auto append = [&](const char* s) {
        for (; *s && n < sizeof name - 1; ++s) name[n++] = *s;
    };
    append(is_class ? "+[" : "-[");
    append(cls);
    append(" ");
    append(method);
    append("]");
    name[n] = '\0';
    keepBetter(imp, name, ctx);
}

}  // namespace

async_error async_symbol_lookup(const macho_image* image, uint32_t strategy, objc_metadata_cache* cache, uint64_t pc,
                                macho_symbol_callback callback, void* ctx) {
    LookupContext found;
    found.found = false;
    found.address = 0;
    found.name[0] = '\0';
    async_error symbols = ASYNC_ENOTFOUND;
    bool succeeded = false;
    if (strategy & SYMBOL_STRATEGY_SYMBOL_TABLE) {
        symbols = macho_find_symbol_by_pc(image, pc, keepBetter, &found);
        succeeded = symbols == ASYNC_ESUCCESS;
    }
    if (strategy & SYMBOL_STRATEGY_CLASS_METADATA) {
        // An equal address favours the method.
        if (objc_find_method(image, cache, pc, keepMethod, &found) == ASYNC_ESUCCESS) succeeded = true;
    }
    if (!succeeded) return (strategy & SYMBOL_STRATEGY_SYMBOL_TABLE) ? symbols : ASYNC_ENOTFOUND;
    if (!found.found) return ASYNC_EINTERNAL;
    callback(found.address, found.name, ctx);
    return ASYNC_ESUCCESS;
}

}  // namespace ovcrash
