#include "interpreter.hpp"

#include "args.hpp"
#include "errors.hpp"

namespace larkspan::py {

std::optional<std::string> ReleasedInterpreter::poll_signals() {
    if (!can_retake()) return std::nullopt;
    return holding([]() -> std::optional<std::string> {
        if (PyErr_CheckSignals() == 0) return std::nullopt;
        Ref raised = fetch_exception();
        if (!raised) return std::string("<exception str() failed>");
        return exception_text(raised.get());
    });
}

}  // namespace larkspan::py
