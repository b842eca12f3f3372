#pragma once
// Interrupts: a tool asks its host, at fixed points of its long loops,
// whether the user wants it to stop (Ctrl-C). The host answers through a
// plain callback (the Python layer runs its signal handlers there), so the
// tools know nothing of the interpreter.

#include <atomic>
#include <functional>
#include <optional>
#include <string>
#include <thread>

#include "error.hpp"

namespace larkspan {

// Runs the host's pending signal handlers. Returns the text form of the
// exception one of them raised ("KeyboardInterrupt: "), or nothing.
using InterruptPoll = std::function<std::optional<std::string>()>;

// The interrupt state of one call, made on the calling thread: the host is
// asked only there. Workers may call check() too; it then only tells them
// whether the calling thread has seen an interrupt, so they give up early.
class Interrupts {
public:
    // An empty poll never interrupts.
    explicit Interrupts(const InterruptPoll& poll)
        : poll_(poll), caller_(std::this_thread::get_id()) {}
    Interrupts(const Interrupts&) = delete;
    Interrupts& operator=(const Interrupts&) = delete;

    // On the calling thread, asks the host; after an interrupt, fails with it
    // now and on every later call. On other threads, fails once the calling
    // thread has seen an interrupt.
    Status check() {
        if (std::this_thread::get_id() != caller_) {
            if (stopped()) return fail(Error{ErrorKind::Interrupted, "Interrupted", 0});
            return {};
        }
        if (!error_ && poll_) {
            if (auto raised = poll_()) {
                error_ = interrupted_error(*raised);
                stopped_.store(true, std::memory_order_relaxed);
            }
        }
        if (error_) return fail(*error_);
        return {};
    }

    bool stopped() const { return stopped_.load(std::memory_order_relaxed); }

    // KeyboardInterrupt "Interrupted: " and the text form of what was raised.
    static Error interrupted_error(const std::string& raised) {
        return {ErrorKind::Interrupted, "Interrupted: " + raised, 0};
    }

private:
    const InterruptPoll& poll_;
    const std::thread::id caller_;
    std::optional<Error> error_;
    std::atomic<bool> stopped_{false};
};

}  // namespace larkspan
