#pragma once
// A shared library opened at run time, for the platform services that a
// process should load only when it first needs them (windows, sound, network).
#include <atomic>
#include <memory>
#include <mutex>
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

// The process's one copy of a library wrapper (SDL, libcurl, libnotify):
// opened by `open` on the first get(), from whichever thread asks first, and
// kept open until the process ends, since such libraries keep threads and
// global state that outlive any owner. `open` answers the wrapper, or null
// with the reason in its argument (and says what is lost without it).
template <typename Library>
class LazyLibrary {
public:
    using Opener = std::unique_ptr<Library> (*)(std::string* error);
    constexpr explicit LazyLibrary(Opener open) : open_(open) {}
    LazyLibrary(const LazyLibrary&) = delete;
    LazyLibrary& operator=(const LazyLibrary&) = delete;

    // The library, opened on the first call; null when it cannot be.
    const Library* get() {
        std::call_once(once_, [this] {
            std::string error;
            std::unique_ptr<Library> library = open_(&error);
            if (!library) {
                error_ = std::make_unique<const std::string>(std::move(error));
                return;
            }
            library_.store(library.release(), std::memory_order_release);
        });
        return loaded();
    }
    // The library if it is open already; never opens it.
    const Library* loaded() const { return library_.load(std::memory_order_acquire); }
    // Why get() is null; empty while it is not.
    const std::string& error() {
        static const std::string none;
        get();
        return error_ ? *error_ : none;
    }

private:
    Opener open_;
    std::once_flag once_;
    std::atomic<const Library*> library_{nullptr};
    // Written once, before once_ is done. Held by pointer: a string member has
    // no constant initialiser with every compiler, and the globals are constinit.
    std::unique_ptr<const std::string> error_;
};

}  // namespace platform::foundation
