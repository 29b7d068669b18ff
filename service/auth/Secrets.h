// Passwords, tokens and session keys: how they are made, hashed and checked.
// Passwords are slow to hash on purpose (Argon2id); tokens and session keys
// are random and long, so a fast hash of them is as good as a slow one.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <string_view>

#include "service/http/Message.h"

namespace ostrel::service::auth {

// The Argon2id cost of a password hash: 2 passes over 64 MiB, libsodium's
// interactive preset and above the common minimum (19 MiB, 2 passes). About
// a quarter of a second on one core of a shared 2-core VM (bench/README.md):
// slow enough that a copied database is costly to guess from, quick enough
// for a sign-in. The memory is bounded by the few checks run at once.
inline constexpr unsigned long long kPasswordOps = 2;
inline constexpr size_t kPasswordMemory = 64u * 1024 * 1024;
inline constexpr int kConcurrentChecks = 2;

inline constexpr size_t kMinPassword = 8, kMaxPassword = 1024;

// Makes sure libsodium is ready; throws std::runtime_error when it is not.
void initSecrets();

// An empty string when the password may be used, else why not.
std::string passwordProblem(std::string_view password);
// The Argon2id hash in its self-describing text form; throws
// std::runtime_error when the memory cannot be had.
std::string hashPassword(std::string_view password);
// Whether password matches hash (a hash of another form never does).
bool passwordMatches(const std::string& hash, std::string_view password);
// A hash that matches no password, for checking an unknown name as long as
// a known one.
const std::string& decoyHash();

// A new random secret: prefix and 43 characters of base64url (256 bits).
std::string newSecret(std::string_view prefix);
// The hex digest kept in place of a token or session key.
std::string digest(std::string_view secret);

// Account and token names: 1-64 of letters, digits, . _ - @
bool validName(std::string_view name);
std::optional<http::Role> parseRole(std::string_view text);

}  // namespace ostrel::service::auth
