// `ostrel records --clear` never loses a swipe record: each case is a way a
// collection used to lose records (interrupted downloads, cards presented
// meanwhile, line noise, closed standard streams, full disks, concurrent
// collectors, planted symlinks).
#include <gtest/gtest.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <set>
#include <sstream>
#include <functional>
#include <thread>

#include <nlohmann/json.hpp>

#include "sim/BareLine.h"
#include "sim/SimController.h"
#include "support/RunCommand.h"

namespace fs = std::filesystem;
using namespace ostrel;
using namespace ostrel::test;
using Ms = std::chrono::milliseconds;

namespace {

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

std::vector<std::string> linesOf(const std::string& text) {
    std::vector<std::string> lines;
    std::stringstream ss(text);
    std::string l;
    while (std::getline(ss, l)) {
        if (!l.empty() && l.back() == '\r') l.pop_back();
        lines.push_back(l);
    }
    return lines;
}

// The record line of raw record bytes, as the command prints it.
std::string lineOf(const std::array<uint8_t, 11>& r) {
    char buf[64];
    auto d = [](uint8_t b) { return (b >> 4) * 10 + (b & 0x0F); };
    std::snprintf(buf, sizeof buf, "%02d|%02X%02X%02X|20%02d-%02d-%02d|%02d:%02d|%02d|%X", r[0] % 100, r[1], r[2], r[3],
                  d(r[4]), d(r[5]), d(r[6]), d(r[7]), d(r[8]), d(r[9]), r[10]);
    return buf;
}

}  // namespace

class RecordsCommandTest : public ::testing::Test {
protected:
    RecordsCommandTest() {
        dir_ = fs::temp_directory_path() / ("ostrel-records-" + std::to_string(getpid()));
        fs::create_directories(dir_);
        out_ = (dir_ / "swipes.txt").string();
    }
    ~RecordsCommandTest() override {
        std::error_code ec;
        fs::remove_all(dir_, ec);
    }
    // A controller at address; fast pacing keeps a download running long
    // enough to act during it.
    std::unique_ptr<sim::SimController> controller(uint8_t address, bool paced = false) {
        sim::Options o;
        o.address = address;
        o.pace = paced;
        o.byteSeconds = 0.0002;
        auto s = std::make_unique<sim::SimController>(o);
        s->makeSlaveCooked();
        return s;
    }
    CommandResult ostrel(sim::SimController& s, const std::string& args, const std::string& redirect = " 2>&1") {
        return runCommand("OSTREL_COM1=" + s.slavePath() + " " + binDir() + "/ostrel " + args + redirect);
    }
    static std::vector<std::string> held(sim::SimController& s) {
        return s.withState([](sim::ControllerState& st) {
            std::vector<std::string> lines;
            for (const auto& r : st.records) lines.push_back(lineOf(r));
            return lines;
        });
    }
    // Every record seeded is in the file or still on the controller, once.
    void expectNoneLost(const std::vector<std::string>& seeded, const std::vector<std::string>& file,
                        const std::vector<std::string>& controller) {
        std::multiset<std::string> found(file.begin(), file.end());
        found.insert(controller.begin(), controller.end());
        for (const std::string& line : seeded) EXPECT_TRUE(found.count(line)) << "lost: " << line;
    }
    // Only request frames reached the controller: nothing a program printed.
    static void expectOnlyFrames(sim::SimController& s, uint8_t address) {
        for (const auto& f : s.frames()) {
            ASSERT_EQ(f.size(), 3u);
            EXPECT_EQ(f[0], address);
            EXPECT_EQ(f[1], 2);
            EXPECT_TRUE(f[2] == 0x04 || f[2] == 0x11 || f[2] == 0x06) << int(f[2]);
        }
    }

    fs::path dir_;
    std::string out_;
};

TEST_F(RecordsCommandTest, InterruptedDownloadIsFinishedBeforeTheCount) {
    auto s = controller(20);
    s->seedRecords(30);
    const auto seeded = held(*s);
    {
        // A download abandoned after the count and ten records.
        sim::BareLine line(s->slavePath());
        ASSERT_EQ(line.roundTrip({20, 2, 0x11}, 3, true), 3u);
        for (int i = 0; i < 10; ++i) ASSERT_EQ(line.roundTrip({20, 2, 0x11}, 11), 11u);
    }
    CommandResult r = ostrel(*s, "records 20 --clear --out " + out_);
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(linesOf(slurp(out_)), seeded);
    EXPECT_TRUE(held(*s).empty());
}

TEST_F(RecordsCommandTest, CardPresentedDuringTheDownloadIsCollectedOrKept) {
    auto s = controller(20, true);
    s->seedRecords(150);
    std::thread card([&] {
        s->waitForFrames(60, Ms(10000));
        s->withState([](sim::ControllerState& st) {
            st.records.push_back({20, 0x99, 0x88, 0x77, 0x26, 0x12, 0x24, 0x18, 0x30, 0x01, 0x00});
        });
    });
    CommandResult r = ostrel(*s, "records 20 --clear --out " + out_);
    card.join();
    std::vector<std::string> file = linesOf(slurp(out_));
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("downloading again"), std::string::npos) << r.out;
    EXPECT_NE(std::find(file.begin(), file.end(), "20|998877|2026-12-24|18:30|01|0"), file.end());
    EXPECT_EQ(file.size(), 151u);
    EXPECT_TRUE(held(*s).empty());
}

// A stray byte, a short record or a garbled record in the middle of a
// download: the download runs again, and the file holds exactly the
// controller's records, once, with no shifted line.
TEST_F(RecordsCommandTest, LineFaultsDuringTheDownloadAreDownloadedAgain) {
    struct Fault {
        const char* name;
        const char* check;
        std::function<void(sim::SimController&)> arm;
    };
    const std::vector<Fault> faults = {
        {"stray byte", "bytes left over",
         [](sim::SimController& s) {
             s.waitForFrames(40, Ms(10000));
             s.inject({0x55});
         }},
        {"short record", "short record",
         [](sim::SimController& s) { s.withState([](sim::ControllerState& st) { st.shortOnce = 40; }); }},
        {"garbled record", "malformed record",
         [](sim::SimController& s) { s.withState([](sim::ControllerState& st) { st.garbledOnce = 40; }); }},
    };
    int n = 0;
    for (const Fault& fault : faults) {
        SCOPED_TRACE(fault.name);
        for (bool clear : {true, false}) {
            auto s = controller(20, true);
            s->seedRecords(100);
            const auto seeded = held(*s);
            const std::string out = (dir_ / ("swipes-" + std::to_string(++n) + ".txt")).string();
            std::thread line([&] { fault.arm(*s); });
            CommandResult r = ostrel(*s, std::string("records 20 ") + (clear ? "--clear " : "") + "--out " + out);
            line.join();
            EXPECT_EQ(r.status, 0) << r.out;
            EXPECT_NE(r.out.find(std::string("downloading again: ") + fault.check), std::string::npos) << r.out;
            EXPECT_EQ(linesOf(slurp(out)), seeded);
            EXPECT_EQ(held(*s), clear ? std::vector<std::string>{} : seeded);
        }
    }
}

// A record garbled on every attempt: no file, nothing on stdout, nothing
// cleared, and the message says the controller still holds every record.
TEST_F(RecordsCommandTest, FaultOnEveryDownloadWritesNothingAndClearsNothing) {
    auto s = controller(20);
    s->seedRecords(30);
    s->withState([](sim::ControllerState& st) { st.records[12][5] = 0x1A; });
    const auto seeded = held(*s);
    CommandResult r = ostrel(*s, "records 20 --clear --out " + out_);
    EXPECT_EQ(r.status, 1) << r.out;
    size_t reported = 0;
    for (size_t at = 0; (at = r.out.find("downloading again: malformed record", at)) != std::string::npos; ++at)
        ++reported;
    EXPECT_EQ(reported, 2u) << r.out;  // three downloads, the last refused
    EXPECT_NE(r.out.find("nothing written, nothing cleared: the controller still holds every record"),
              std::string::npos) << r.out;
    EXPECT_FALSE(fs::exists(out_));
    EXPECT_EQ(held(*s), seeded);
    // Without --clear: nothing reaches stdout either, in any format.
    for (const char* format : {"lines", "json"}) {
        CommandResult plain = ostrel(*s, std::string("records 20 --format ") + format, " 2>/dev/null");
        EXPECT_EQ(plain.status, 1) << format;
        EXPECT_EQ(plain.out, "") << format;
    }
    CommandResult json = ostrel(*s, "--json records 20", " 2>/dev/null");
    EXPECT_EQ(json.status, 1);
    auto j = nlohmann::json::parse(json.out, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << json.out;
    EXPECT_EQ(j["ok"], false);
    EXPECT_FALSE(j.contains("records") && j["records"].is_array()) << json.out;
    EXPECT_EQ(held(*s), seeded);
}

TEST_F(RecordsCommandTest, ClosedStandardStreamsNeverReachTheBus) {
    auto s = controller(20);
    s->seedRecords(5);
    const auto seeded = held(*s);
    // Records to a closed stdout cannot be kept: nothing is cleared.
    CommandResult r = ostrel(*s, "records 20 --clear", " >&- 2>/dev/null");
    EXPECT_NE(r.status, 0);
    EXPECT_EQ(held(*s), seeded);
    expectOnlyFrames(*s, 20);
    s->clearFrames();
    // With stderr closed the summary has nowhere to go, and goes nowhere.
    r = ostrel(*s, "records 20 --clear --out " + out_, " 2>&-");
    EXPECT_EQ(r.status, 0);
    EXPECT_EQ(linesOf(slurp(out_)), seeded);
    EXPECT_TRUE(held(*s).empty());
    expectOnlyFrames(*s, 20);
}

TEST_F(RecordsCommandTest, ExistingOutputSurvivesAFullDisk) {
    auto s = controller(20);
    s->seedRecords(60);
    const auto seeded = held(*s);
    std::ofstream(out_) << "previous\n";
    // With --clear an existing file is never replaced.
    CommandResult r = ostrel(*s, "records 20 --clear --out " + out_);
    EXPECT_EQ(r.status, 2) << r.out;
    EXPECT_NE(r.out.find("--append"), std::string::npos) << r.out;
    // Appending on a full disk (here: a 512-byte file size limit) leaves
    // the file as it was, and the controller too.
    r = runCommand("trap '' XFSZ; ulimit -f 1; OSTREL_COM1=" + s->slavePath() + " " + binDir() +
                   "/ostrel records 20 --clear --append --out " + out_ + " 2>&1");
    EXPECT_NE(r.status, 0) << r.out;
    EXPECT_NE(r.out.find("nothing cleared"), std::string::npos) << r.out;
    EXPECT_EQ(slurp(out_), "previous\n");
    EXPECT_EQ(held(*s), seeded);
    // Without the limit the records are added after the old content.
    r = ostrel(*s, "records 20 --clear --append --out " + out_);
    EXPECT_EQ(r.status, 0) << r.out;
    auto lines = linesOf(slurp(out_));
    ASSERT_EQ(lines.size(), 61u);
    EXPECT_EQ(lines[0], "previous");
    EXPECT_TRUE(held(*s).empty());
}

TEST_F(RecordsCommandTest, ConcurrentCollectionsToOneFileLoseNothing) {
    auto a = controller(20, true), b = controller(21, true);
    a->seedRecords(120);
    b->seedRecords(120);
    auto seeded = held(*a);
    auto seededB = held(*b);
    seeded.insert(seeded.end(), seededB.begin(), seededB.end());
    auto both = [&](const std::string& opts) {
        return runCommand("(OSTREL_COM1=" + a->slavePath() + " " + binDir() + "/ostrel records 20 " + opts +
                          " 2>/dev/null & OSTREL_COM1=" + b->slavePath() + " " + binDir() + "/ostrel records 21 " +
                          opts + " 2>/dev/null & wait)");
    };
    // Appending: both take turns on the file and both clear.
    both("--clear --append --out " + out_);
    auto file = linesOf(slurp(out_));
    EXPECT_EQ(file.size(), 240u);
    EXPECT_TRUE(held(*a).empty());
    EXPECT_TRUE(held(*b).empty());
    expectNoneLost(seeded, file, {});

    // Not appending: the file is created once; the other collection keeps
    // its records on its controller.
    a->seedRecords(120);
    b->seedRecords(120);
    seeded = held(*a);
    seededB = held(*b);
    seeded.insert(seeded.end(), seededB.begin(), seededB.end());
    const std::string other = (dir_ / "other.txt").string();
    both("--clear --out " + other);
    std::vector<std::string> still = held(*a);
    auto stillB = held(*b);
    still.insert(still.end(), stillB.begin(), stillB.end());
    expectNoneLost(seeded, linesOf(slurp(other)), still);
    EXPECT_EQ(linesOf(slurp(other)).size() + still.size(), 240u);
}

// The driver's record file, as an ordinary user: a shared folder where
// another user planted symlinks, and no per-user folder at all.
class RecordFolderTest : public RecordsCommandTest {
protected:
    std::string asUser() const { return geteuid() == 0 ? "setpriv --reuid=65534 --regid=65534 --clear-groups -- " : ""; }
    void giveToUser(const fs::path& p) const {
        if (geteuid() == 0) {
            ASSERT_EQ(chown(p.c_str(), 65534, 65534), 0);
        }
    }
    CommandResult download(sim::SimController& s, const std::string& env) {
        return runCommand("env -i PATH=/usr/bin:/bin " + env + " OSTREL_COM1=" + s.slavePath() + " " + asUser() +
                          binDir() + "/ostrel call GetBrushRecord 20 l:0 'j:[]' Records 2>&1");
    }
};

TEST_F(RecordFolderTest, PlantedSymlinksInASharedFolderAreNotFollowed) {
    auto s = controller(20);
    s->seedRecords(4);
    // The user's own file, and a world-writable shared record folder.
    const fs::path mine = dir_ / "mine";
    fs::create_directories(mine);
    giveToUser(mine);
    const fs::path precious = mine / "precious";
    std::ofstream(precious) << "keep me\n";
    giveToUser(precious);
    const fs::path shared = dir_ / "shared" / "ostrel";
    fs::create_directories(shared);
    fs::permissions(dir_, fs::perms::all);
    fs::permissions(shared.parent_path(), fs::perms::all);
    fs::permissions(shared, fs::perms::all | fs::perms::sticky_bit);
    // Another user plants links at every temporary name a download could
    // have predicted (the name and the process id).
    std::ifstream lastPid("/proc/sys/kernel/ns_last_pid");
    long pid = 0;
    lastPid >> pid;
    for (long p = pid + 1; p < pid + 3000; ++p)
        fs::create_symlink(precious, shared / ("Records.txt.partial-" + std::to_string(p)));
    CommandResult r = download(*s, "XDG_DATA_HOME=" + (dir_ / "shared").string() + " HOME=" + mine.string());
    EXPECT_EQ(r.status, 0) << r.out;
    EXPECT_EQ(slurp(precious), "keep me\n");
    const fs::path file = shared / "Records.txt";
    ASSERT_TRUE(fs::is_regular_file(fs::symlink_status(file))) << r.out;
    EXPECT_EQ(linesOf(slurp(file)).size(), 4u);
    struct stat st {};
    ASSERT_EQ(stat(file.c_str(), &st), 0);
    EXPECT_EQ(st.st_uid, geteuid() == 0 ? 65534u : geteuid());
}

TEST_F(RecordFolderTest, NoPerUserFolderIsAFileErrorNotASharedPlace) {
    auto s = controller(20);
    s->seedRecords(3);
    const fs::path old = "/tmp/.local/share/ostrel/Records.txt";
    std::error_code ec;
    fs::remove(old, ec);
    CommandResult r = download(*s, "");
    if (access((binDir() + "/../lib").c_str(), W_OK) == 0 && geteuid() != 0) GTEST_SKIP() << "lib folder writable";
    auto j = nlohmann::json::parse(r.out, nullptr, false);
    ASSERT_FALSE(j.is_discarded()) << r.out;
    EXPECT_EQ(j["error"]["number"], 75) << r.out;
    EXPECT_NE(j["error"]["description"].get<std::string>().find("neither XDG_DATA_HOME nor HOME"), std::string::npos);
    EXPECT_EQ(j["byref"]["varRecordCount"], 3);  // the records are returned first
    EXPECT_FALSE(fs::exists(old));
}
