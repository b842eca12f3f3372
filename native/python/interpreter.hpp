#pragma once
// Releasing the interpreter lock while a tool reads, computes and writes, so
// other Python threads run meanwhile; the lock is taken back only where the
// tool needs Python: to poll for interrupts, and at the end of the scope to
// build its result or raise.
//
// Objects a running tool reads stay protected while the lock is released by
// the borrow they hold: a borrow is taken before the release and given back
// after the lock is retaken, and a second thread that wants to change the
// object fails to borrow it ("Already borrowed").

#include <optional>
#include <string>
#include <thread>
#include <type_traits>
#include <utility>

#include "../common/error.hpp"
#include "object.hpp"

namespace larkspan::py {

class ReleasedInterpreter {
public:
    // Releases the lock, which the calling thread must hold.
    ReleasedInterpreter() : saved_(PyEval_SaveThread()), owner_(std::this_thread::get_id()) {}
    ~ReleasedInterpreter() {
        if (saved_ != nullptr) PyEval_RestoreThread(saved_);
    }
    ReleasedInterpreter(const ReleasedInterpreter&) = delete;
    ReleasedInterpreter& operator=(const ReleasedInterpreter&) = delete;

    // Only the releasing thread can take its lock back (not a pool worker
    // that runs part of the tool), and only while it is released.
    bool can_retake() const { return saved_ != nullptr && std::this_thread::get_id() == owner_; }

    // Runs `fn` with the lock held and releases it again, also when `fn`
    // throws. Requires can_retake().
    template <class Fn>
    std::invoke_result_t<Fn&> holding(Fn&& fn) {
        if (!can_retake()) panic("the interpreter lock was retaken on another thread");
        struct Retaken {
            PyThreadState*& saved;
            explicit Retaken(PyThreadState*& s) : saved(s) {
                PyEval_RestoreThread(std::exchange(saved, nullptr));
            }
            ~Retaken() { saved = PyEval_SaveThread(); }
        } retaken(saved_);
        return fn();
    }

    // The tools' interrupt check: runs pending signal handlers with the lock
    // held; what a handler raised (KeyboardInterrupt for Ctrl-C) comes back
    // in its text form ("KeyboardInterrupt: ") and is taken off the error
    // state, as the tool reports the interrupt in its own message. Called
    // on another thread it reports nothing: handlers run on the thread that
    // called the tool.
    std::optional<std::string> poll_signals();

private:
    PyThreadState* saved_;
    std::thread::id owner_;
};

}  // namespace larkspan::py
