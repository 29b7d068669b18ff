// Operator accounts and named tokens kept alike by both store engines.
#include <gtest/gtest.h>

#include <filesystem>

#include "service/Store.h"
#include "support/PgCluster.h"

namespace ostrel::service {
namespace {

void checkAccounts(Store& s) {
    EXPECT_TRUE(s.users().empty());
    EXPECT_FALSE(s.user("ada"));
    EXPECT_TRUE(s.addUser({"ada", "admin", "$argon2id$ada", {}, false}));
    EXPECT_TRUE(s.addUser({"vera", "viewer", "$argon2id$vera", {}, false}));
    EXPECT_FALSE(s.addUser({"ada", "viewer", "$argon2id$other", {}, false})) << "a name is taken once";
    auto ada = s.user("ada");
    ASSERT_TRUE(ada);
    EXPECT_EQ(ada->role, "admin");
    EXPECT_EQ(ada->hash, "$argon2id$ada") << "the first account stays as it was";
    EXPECT_FALSE(ada->disabled);
    EXPECT_EQ(ada->created.size(), 20u) << ada->created;

    EXPECT_TRUE(s.setUserHash("ada", "$argon2id$new"));
    EXPECT_TRUE(s.setUserDisabled("ada", true));
    EXPECT_FALSE(s.setUserHash("nobody", "x"));
    EXPECT_FALSE(s.setUserDisabled("nobody", true));
    ada = s.user("ada");
    EXPECT_EQ(ada->hash, "$argon2id$new");
    EXPECT_TRUE(ada->disabled);
    auto all = s.users();
    ASSERT_EQ(all.size(), 2u);
    EXPECT_EQ(all[0].name, "ada");
    EXPECT_EQ(all[1].name, "vera");
    EXPECT_TRUE(s.removeUser("ada"));
    EXPECT_FALSE(s.removeUser("ada"));
    EXPECT_EQ(s.users().size(), 1u);

    EXPECT_TRUE(s.addToken({"doors", "operator", "d1", {}}));
    EXPECT_FALSE(s.addToken({"doors", "admin", "d2", {}}));
    EXPECT_TRUE(s.addToken({"reader", "viewer", "r1", {}}));
    auto tokens = s.tokens();
    ASSERT_EQ(tokens.size(), 2u);
    EXPECT_EQ(tokens[0].name, "doors");
    EXPECT_EQ(tokens[0].role, "operator");
    EXPECT_EQ(tokens[0].hash, "d1");
    EXPECT_TRUE(s.removeToken("doors"));
    EXPECT_FALSE(s.removeToken("doors"));
    EXPECT_EQ(s.tokens().size(), 1u);
}

TEST(AccountsStore, BothEnginesKeepAccountsAndTokensAlike) {
    test::PgCluster pg;
    checkAccounts(*openStore(pg.createDatabase("accounts"), "hq"));
    char tmpl[] = "/tmp/ostrel-accounts-XXXXXX";
    std::filesystem::path dir = mkdtemp(tmpl);
    checkAccounts(*openStore("sqlite:" + (dir / "s.db").string(), "hq"));
    std::filesystem::remove_all(dir);
}

}  // namespace
}  // namespace ostrel::service
