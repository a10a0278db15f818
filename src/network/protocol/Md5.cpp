#include "network/protocol/Md5.h"

#include "base/Exception.h"

#include <memory>
#include <openssl/evp.h>

namespace ostrel {
namespace {

struct ContextFree {
    void operator()(EVP_MD_CTX* context) const { EVP_MD_CTX_free(context); }
};

} // namespace

Md5::Digest Md5::compute(std::initializer_list<std::span<const uint8_t>> parts) {
    std::unique_ptr<EVP_MD_CTX, ContextFree> context(EVP_MD_CTX_new());
    if (!context || EVP_DigestInit_ex(context.get(), EVP_md5(), nullptr) != 1) {
        throw Exception("Exception", 0, std::string("MD5 digest is not available."));
    }
    for (std::span<const uint8_t> part : parts) {
        if (!part.empty() && EVP_DigestUpdate(context.get(), part.data(), part.size()) != 1) {
            throw Exception("Exception", 0, std::string("MD5 digest failed."));
        }
    }
    Digest digest{};
    unsigned int length = 0;
    if (EVP_DigestFinal_ex(context.get(), digest.data(), &length) != 1 || length != digest.size()) {
        throw Exception("Exception", 0, std::string("MD5 digest failed."));
    }
    return digest;
}

} // namespace ostrel
