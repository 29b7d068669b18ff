// Registration, creation by ProgID and calls by name against a test library.
#include "runtime/Registry.h"

#include <gtest/gtest.h>
#include <stdlib.h>

#include <filesystem>

#include "runtime/AutomationError.h"
#include "runtime/MessageBox.h"
#include "support/AutomationAssert.h"

namespace fs = std::filesystem;
using namespace ostrel::rt;

class RegistryTest : public ::testing::Test {
protected:
    RegistryTest() {
        dir_ = fs::temp_directory_path() / ("ostrel-reg-" + std::to_string(getpid()) + "-" +
                                            ::testing::UnitTest::GetInstance()->current_test_info()->name());
        fs::remove_all(dir_);
        old_ = getenv("OSTREL_REGISTRY") ? getenv("OSTREL_REGISTRY") : "";
        setenv("OSTREL_REGISTRY", dir_.c_str(), 1);
        registerLibrary(TEST_COMPONENT_PATH, dir_.string());
    }
    ~RegistryTest() override {
        fs::remove_all(dir_);
        if (old_.empty()) unsetenv("OSTREL_REGISTRY");
        else setenv("OSTREL_REGISTRY", old_.c_str(), 1);
    }
    fs::path dir_;
    std::string old_;
};

TEST_F(RegistryTest, CreatesARegisteredClassByProgId) {
    auto reg = findRegistration("Ostrel.TestEcho");
    ASSERT_TRUE(reg);
    EXPECT_EQ(reg->library, fs::canonical(TEST_COMPONENT_PATH).string());
    ObjectRef obj = createObject("Ostrel.TestEcho");
    ASSERT_TRUE(obj);
    EXPECT_EQ(obj->call("echo", {Variant("hi")}).toString(), "hi");  // names are case-insensitive
}

TEST_F(RegistryTest, UnregisteredOrUnloadableGives429NamingTheProgId) {
    try {
        createObject("Ostrel.Nothing");
        FAIL();
    } catch (const AutomationError& e) {
        EXPECT_EQ(e.number(), 429);
        EXPECT_NE(e.description().find("Ostrel.Nothing"), std::string::npos);
    }
    writeRegistration(dir_.string(), {"Ostrel.Broken", "{B}", "/nonexistent/libBroken.so"});
    try {
        createObject("Ostrel.Broken");
        FAIL();
    } catch (const AutomationError& e) {
        EXPECT_EQ(e.number(), 429);
        EXPECT_NE(e.description().find("Ostrel.Broken"), std::string::npos);
        EXPECT_NE(e.description().find("libBroken.so"), std::string::npos);
    }
    unregisterLibrary(TEST_COMPONENT_PATH, dir_.string());
    EXPECT_AUTOMATION_ERROR(createObject("Ostrel.TestEcho"), 429);
}

TEST_F(RegistryTest, ByReferenceArgumentsAreWrittenBackOnlyWhenWritten) {
    ObjectRef obj = createObject("Ostrel.TestEcho");
    Variant same(int16_t{21});
    EXPECT_TRUE(obj->call("Twice", {Variant::ref(same)}).toBoolean());
    EXPECT_EQ(same.type(), VarType::Integer);
    EXPECT_EQ(same.asInteger(), 42);

    Variant coerced("4");  // a text for an Integer parameter: converted, then written back
    obj->call("Twice", {Variant::ref(coerced)});
    EXPECT_EQ(coerced.type(), VarType::Integer);
    EXPECT_EQ(coerced.asInteger(), 8);

    Variant untouched(int16_t{7});  // not written: keeps its own type and value
    obj->call("Untouched", {Variant::ref(untouched)});
    EXPECT_EQ(untouched.type(), VarType::Integer);

    Variant byValue(int16_t{3});
    obj->call("Twice", {byValue});
    EXPECT_EQ(byValue.asInteger(), 3);
}

TEST_F(RegistryTest, ArgumentErrors) {
    ObjectRef obj = createObject("Ostrel.TestEcho");
    EXPECT_AUTOMATION_ERROR(obj->call("NoSuchThing", {}), 438);
    EXPECT_AUTOMATION_ERROR(obj->call("Twice", {}), 449);
    EXPECT_AUTOMATION_ERROR(obj->call("Twice", {Variant("x"), Variant("y")}), 450);
    Variant text("abc");
    EXPECT_AUTOMATION_ERROR(obj->call("Twice", {Variant::ref(text)}), 13);
    EXPECT_EQ(text.asString(), "abc");
    EXPECT_AUTOMATION_ERROR(obj->call("Fail", {Variant(int32_t{8005})}), 8005);
}

TEST_F(RegistryTest, ArraysByReference) {
    ObjectRef obj = createObject("Ostrel.TestEcho");
    Variant arr(StringArray{{"old"}, false});
    EXPECT_EQ(obj->call("Fill", {Variant::ref(arr), Variant(int16_t{2})}).toLong(), 3);
    EXPECT_EQ(arr.asArray().items.size(), 3u);
    Variant fixed(StringArray{{}, true});
    EXPECT_AUTOMATION_ERROR(obj->call("Fill", {Variant::ref(fixed), Variant(int16_t{1})}), 10);
}

TEST(MessageBoxTest, DefaultWritesOneLineToStderr) {
    setMessageBoxService({});
    ::testing::internal::CaptureStderr();
    showMessageBox("text", MessageIcon::Information, "Title");
    EXPECT_EQ(::testing::internal::GetCapturedStderr(), "Title: text\n");
    std::string seen;
    setMessageBoxService([&](const std::string& t, MessageIcon, const std::string& title) { seen = title + "|" + t; });
    showMessageBox("x", MessageIcon::None, "T");
    setMessageBoxService({});
    EXPECT_EQ(seen, "T|x");
}
