#pragma once
// A linked list that a crashing thread can walk while another thread (or the
// same thread, interrupted) changes it: readers take no lock, only raise a
// reader count; writers serialise on a spin lock, publish entries with
// compare-and-swap after a full barrier, and keep removed entries alive while
// any reader is inside. Holds the signal handler's callbacks and saved
// actions and the shared image list.
//
// Async-signal-safe for readers (set_reading, next, head). append, prepend
// and remove allocate or free and must not run at crash time.
#include <atomic>
#include <cstdint>

namespace ovcrash {

template <typename T>
class async_list {
public:
    struct node {
        T value;
        std::atomic<node*> prev{nullptr};
        std::atomic<node*> next{nullptr};
    };

    async_list() = default;
    async_list(const async_list&) = delete;
    async_list& operator=(const async_list&) = delete;
    ~async_list() {
        free_chain(head_.load());
        free_chain_by_prev(free_.load());
    }

    void append(const T& value) { insert(value, false); }
    void prepend(const T& value) { insert(value, true); }

    // Unlinks entry (which must be in this list). Readers already holding it
    // may still follow its next pointer: it is freed only when no reader is
    // inside.
    void remove(node* entry) {
        lock();
        node* prev = entry->prev.load();
        node* next = entry->next.load();
        std::atomic<node*>& link = prev ? prev->next : head_;
        node* expected = entry;
        link.compare_exchange_strong(expected, next);
        if (next)
            next->prev.store(prev);
        else
            tail_.store(prev);
        if (readers_.load() > 0) {
            // Keep entry->next: a reader standing on it walks on from there.
            entry->prev.store(free_.load());
            free_.store(entry);
        } else {
            delete entry;
        }
        unlock();
    }

    // Enter (true) or leave (false) the list as a reader.
    void set_reading(bool reading) { readers_.fetch_add(reading ? 1 : -1, std::memory_order_seq_cst); }

    // The entry after current, or the first one for nullptr.
    node* next(node* current) const { return current ? current->next.load() : head_.load(); }

    int32_t reader_count() const { return readers_.load(); }

private:
    void insert(const T& value, bool front) {
        lock();
        node* entry = take_free();
        if (!entry)
            entry = new node{value};
        else
            entry->value = value;
        entry->prev.store(nullptr);
        entry->next.store(nullptr);
        std::atomic_thread_fence(std::memory_order_seq_cst);
        if (front) {
            node* old = head_.load();
            entry->next.store(old);
            if (old)
                old->prev.store(entry);
            else
                tail_.store(entry);
            head_.compare_exchange_strong(old, entry);
        } else {
            node* old = tail_.load();
            entry->prev.store(old);
            std::atomic<node*>& link = old ? old->next : head_;
            node* expected = nullptr;
            link.compare_exchange_strong(expected, entry);
            tail_.store(entry);
        }
        unlock();
    }

    // Removed entries are reused only when no reader can still stand on one;
    // the rest of them are freed then too.
    node* take_free() {
        if (readers_.load() > 0) return nullptr;
        node* entry = free_.exchange(nullptr);
        if (!entry) return nullptr;
        free_chain_by_prev(entry->prev.load());
        return entry;
    }

    static void free_chain(node* entry) {
        while (entry) {
            node* next = entry->next.load();
            delete entry;
            entry = next;
        }
    }
    static void free_chain_by_prev(node* entry) {
        while (entry) {
            node* prev = entry->prev.load();
            delete entry;
            entry = prev;
        }
    }

    void lock() {
        while (lock_.test_and_set(std::memory_order_acquire)) {
        }
    }
    void unlock() { lock_.clear(std::memory_order_release); }

    std::atomic_flag lock_ = ATOMIC_FLAG_INIT;
    std::atomic<node*> head_{nullptr};
    std::atomic<node*> tail_{nullptr};
    std::atomic<int32_t> readers_{0};
    std::atomic<node*> free_{nullptr};  // chained through prev
};

}  // namespace ovcrash
