#include "service/auth/Secrets.h"

#include <sodium.h>

#include <mutex>
#include <stdexcept>

namespace ostrel::service::auth {

void initSecrets() {
    if (sodium_init() < 0) throw std::runtime_error("cannot initialise libsodium");
}

std::string passwordProblem(std::string_view password) {
    if (password.size() < kMinPassword) return "must have 8 characters or more";
    if (password.size() > kMaxPassword) return "must have 1024 bytes or fewer";
    for (unsigned char c : password)
        if (c < 0x20 || c == 0x7f) return "must not hold control characters";
    return {};
}

std::string hashPassword(std::string_view password) {
    initSecrets();
    char out[crypto_pwhash_STRBYTES];
    if (crypto_pwhash_str(out, password.data(), password.size(), kPasswordOps, kPasswordMemory) != 0)
        throw std::runtime_error("not enough memory to hash the password");
    return out;
}

bool passwordMatches(const std::string& hash, std::string_view password) {
    initSecrets();
    if (hash.size() >= crypto_pwhash_STRBYTES || hash.rfind("$argon2id$", 0) != 0) return false;
    return crypto_pwhash_str_verify(hash.c_str(), password.data(), password.size()) == 0;
}

const std::string& decoyHash() {
    static const std::string hash = hashPassword(newSecret("decoy-"));
    return hash;
}

std::string newSecret(std::string_view prefix) {
    initSecrets();
    unsigned char raw[32];
    randombytes_buf(raw, sizeof raw);
    char text[sodium_base64_ENCODED_LEN(32, sodium_base64_VARIANT_URLSAFE_NO_PADDING)];
    sodium_bin2base64(text, sizeof text, raw, sizeof raw, sodium_base64_VARIANT_URLSAFE_NO_PADDING);
    sodium_memzero(raw, sizeof raw);
    return std::string(prefix) + text;
}

std::string digest(std::string_view secret) {
    unsigned char out[32];
    crypto_generichash(out, sizeof out, reinterpret_cast<const unsigned char*>(secret.data()), secret.size(), nullptr,
                       0);
    char hex[2 * sizeof out + 1];
    sodium_bin2hex(hex, sizeof hex, out, sizeof out);
    return hex;
}

bool validName(std::string_view name) {
    if (name.empty() || name.size() > 64) return false;
    for (char c : name) {
        const bool ok = (c >= 'a' && c <= 'z') || (c >= 'A' && c <= 'Z') || (c >= '0' && c <= '9') || c == '.' ||
                        c == '_' || c == '-' || c == '@';
        if (!ok) return false;
    }
    return true;
}

std::optional<http::Role> parseRole(std::string_view text) {
    if (text == "viewer") return http::Role::Viewer;
    if (text == "operator") return http::Role::Operator;
    if (text == "admin") return http::Role::Admin;
    return std::nullopt;
}

}  // namespace ostrel::service::auth
