#include "random.hpp"

#include <openssl/err.h>
#include <openssl/rand.h>

#include <string>

namespace larkspan::random {

Status SecureDraws::refill() {
    if (RAND_bytes(reinterpret_cast<unsigned char*>(block_.data()),
                   static_cast<int>(sizeof block_)) != 1) {
        char reason[256] = "no reason given";
        if (const unsigned long code = ERR_get_error(); code != 0)
            ERR_error_string_n(code, reason, sizeof reason);
        return fail(Error::os(std::string("the random generator failed: ") + reason));
    }
    next_ = 0;
    return {};
}

}  // namespace larkspan::random
