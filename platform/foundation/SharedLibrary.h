#pragma once
// A shared library opened at run time, for the platform services that a
// process should load only when it first needs them (windows, sound, network).
#include <memory>
#include <string>

namespace platform::foundation {

class SharedLibrary {
public:
    // Null, with the loader's reason in `error`, when `file` cannot be opened.
    static std::unique_ptr<SharedLibrary> open(const std::string& file, std::string* error);
    // Told after every library opened or closed here: Linux sends no load
    // notifications, and the loader stand-in keeps its image list by them.
    using Observer = void (*)(const std::string& file, bool opened);
    static void setObserver(Observer observer);
    // Tells the observer that a library opened here may have opened others
    // on its own (its drivers); called once such a library has started them.
    static void noteIndirectLoads();
    ~SharedLibrary();
    SharedLibrary(const SharedLibrary&) = delete;
    SharedLibrary& operator=(const SharedLibrary&) = delete;

    const std::string& file() const { return file_; }
    // The address of `name`, or null.
    void* symbol(const char* name) const;
    // Points `fn` at `name`; false, with the reason in `error`, when it is missing.
    template <typename Fn>
    bool resolve(Fn& fn, const char* name, std::string* error) const {
        fn = reinterpret_cast<Fn>(symbol(name));
        if (!fn && error) *error = file_ + " has no " + name;
        return fn != nullptr;
    }

private:
    SharedLibrary(void* handle, std::string file) : handle_(handle), file_(std::move(file)) {}
    void* handle_;
    std::string file_;
};

}  // namespace platform::foundation
