#include <signal.h>
#include <sys/resource.h>

#include <algorithm>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <sstream>

#include "basic/DateTime.h"
#include "basic/Numbers.h"
#include "driver/Bus.h"
#include "driver/Exchange.h"
#include "driver/Frames.h"
#include "driver/SwipeRecords.h"
#include "driver/cls_Door.h"
#include "support/DriverFixture.h"

namespace fs = std::filesystem;
using namespace ostrel;
using namespace ostrel::test;

namespace {

std::string slurp(const fs::path& p) {
    std::ifstream in(p, std::ios::binary);
    std::stringstream ss;
    ss << in.rdbuf();
    return ss.str();
}

// Answers the count request with count, then record replies in turn.
sim::Script countThenRecords(Bytes count, std::vector<Bytes> records) {
    auto step = std::make_shared<size_t>(0);
    return [=](const Bytes&) {
        size_t i = (*step)++;
        if (i == 0) return std::vector<sim::Chunk>{{Ms(0), count}};
        if (i - 1 < records.size()) return std::vector<sim::Chunk>{{Ms(0), records[i - 1]}};
        return std::vector<sim::Chunk>{};
    };
}

const Bytes kRec1{0x01, 0x12, 0x34, 0x56, 0x09, 0x05, 0x21, 0x08, 0x30, 0x01, 0x00};
const Bytes kRec2{0x25, 0x00, 0x75, 0x69, 0x10, 0x12, 0x01, 0x17, 0x05, 0x02, 0x1A};
const Bytes kRec3{123, 0xAB, 0x1A, 0x00, 0x09, 0x00, 0x00, 0x1A, 0xAB, 0x1A, 0x07};

}  // namespace

class RecordsTest : public DriverTest {
protected:
    RecordsTest() {
        name_ = "test-records-" + std::to_string(getpid());
        path_ = fs::path(driver::recordFolder()) / (name_ + ".txt");
    }
    ~RecordsTest() override {
        std::error_code ec;
        fs::remove(path_, ec);
    }
    struct Download {
        bool ok = false;
        int32_t count = -1;
        rt::StringArray lines{{"old"}, false};
        int error = 0;
    };
    Download download(std::string name) {
        Download d;
        onFreshThread([&] {
            cls_Door door;
            try {
                d.ok = door.GetBrushRecord(1, d.count, d.lines, name);
            } catch (const rt::AutomationError& e) {
                d.error = e.number();
            }
        });
        return d;
    }
    void oldFile(const std::string& text) { std::ofstream(path_, std::ios::binary) << text; }

    std::string name_;
    fs::path path_;
};

TEST_F(RecordsTest, ThreeRecordsToTheArrayAndTheFile) {
    sim().setScript(countThenRecords({1, 0, 3}, {kRec1, kRec2, kRec3}));
    oldFile("previous download\r\n");
    Download d = download(name_);
    EXPECT_TRUE(d.ok);
    EXPECT_EQ(d.count, 3);
    std::vector<std::string> expected = {"01|123456|2009-05-21|08:30|01|0", "37|007569|2010-12-01|17:05|02|1A",
                                         "23|AB1A00|09-00-00|20:AB|20|7"};
    EXPECT_EQ(d.lines.items, expected);
    EXPECT_EQ(slurp(path_), expected[0] + "\r\n" + expected[1] + "\r\n" + expected[2] + "\r\n");
    auto f = frames();
    ASSERT_EQ(f.size(), 4u);
    for (const Bytes& frame : f) EXPECT_EQ(frame, (Bytes{1, 2, 0x11}));
}

TEST_F(RecordsTest, ZeroRecordsRemovesTheOldFileAndKeepsTheArray) {
    script({{Ms(0), {1, 0, 0}}});
    oldFile("x\r\n");
    Download d = download(name_);
    EXPECT_TRUE(d.ok);
    EXPECT_EQ(d.count, 0);
    EXPECT_EQ(d.lines.items, std::vector<std::string>{"old"});
    EXPECT_FALSE(fs::exists(path_));
    EXPECT_EQ(sim().frameCount(), 1u);
}

TEST_F(RecordsTest, BlankNamesWriteNothingPaddedNamesKeepTheirBlanks) {
    sim().setScript(countThenRecords({1, 0, 1}, {kRec1}));
    Download d = download("   ");
    EXPECT_TRUE(d.ok);
    EXPECT_EQ(d.lines.items.size(), 1u);
    sim().setScript(countThenRecords({1, 0, 1}, {kRec1}));
    fs::path padded = fs::path(driver::recordFolder()) / (" " + name_ + " .txt");
    EXPECT_TRUE(download(" " + name_ + " ").ok);
    EXPECT_TRUE(fs::exists(padded));
    fs::remove(padded);
}

TEST_F(RecordsTest, CountRepliesThatAreLateShortOrForeignAreFalse) {
    // The late reply goes last: it arrives after its own download gave up.
    for (std::vector<sim::Chunk> reply : {std::vector<sim::Chunk>{{Ms(0), {1, 0}}},
                                          std::vector<sim::Chunk>{{Ms(0), {2, 0, 1}}},
                                          std::vector<sim::Chunk>{{Ms(1200), {1, 0, 1}}}}) {
        script(reply);
        oldFile("keep\r\n");
        Download d = download(name_);
        EXPECT_FALSE(d.ok);
        EXPECT_EQ(d.count, -1);
        EXPECT_EQ(d.lines.items, std::vector<std::string>{"old"});
        EXPECT_EQ(slurp(path_), "keep\r\n");
    }
}

TEST_F(RecordsTest, ControllerStoppingMidwayRaisesAfterTheCount) {
    sim().withState([](sim::ControllerState& s) { s.silentAfterRecords = 2; });
    sim().seedRecords(5);
    oldFile("keep\r\n");
    auto t0 = std::chrono::steady_clock::now();
    Download d = download(name_);
    EXPECT_LT(secondsSince(t0), 3.0);
    EXPECT_FALSE(d.ok);
    EXPECT_NE(d.error, 0);
    EXPECT_EQ(d.count, 5);
    ASSERT_EQ(d.lines.items.size(), 3u);
    EXPECT_FALSE(d.lines.items[1].empty());
    EXPECT_TRUE(d.lines.items[2].empty());
    EXPECT_EQ(slurp(path_), "keep\r\n");
}

TEST_F(RecordsTest, FortyThousandRecordsAreDownloadedWhole) {
    sim().seedRecords(40000);
    Download d = download("");
    EXPECT_TRUE(d.ok);
    EXPECT_EQ(d.count, 40000);
    EXPECT_EQ(d.lines.items.size(), 40000u);
    EXPECT_EQ(sim().frameCount(), 40001u);
}

TEST_F(RecordsTest, FailedFileWriteLeavesTheOldFile) {
    sim().seedRecords(50);
    oldFile("previous\r\n");
    // Writes beyond 64 bytes fail (EFBIG) in this process.
    signal(SIGXFSZ, SIG_IGN);
    rlimit lim{64, RLIM_INFINITY};
    ASSERT_EQ(setrlimit(RLIMIT_FSIZE, &lim), 0);
    Download d = download(name_);
    lim.rlim_cur = RLIM_INFINITY;
    setrlimit(RLIMIT_FSIZE, &lim);
    EXPECT_FALSE(d.ok);
    EXPECT_EQ(d.error, 75);
    EXPECT_EQ(d.count, 50);
    EXPECT_EQ(d.lines.items.size(), 50u);  // the records are returned all the same
    EXPECT_EQ(slurp(path_), "previous\r\n");
    for (const auto& e : fs::directory_iterator(path_.parent_path()))
        EXPECT_EQ(e.path().filename().string().find(name_ + ".txt.partial"), std::string::npos);
}

TEST_F(RecordsTest, NamesWithSlashesAreRefused) {
    sim().seedRecords(1);
    Download d = download("../escape");
    EXPECT_EQ(d.error, 52);
    EXPECT_EQ(d.count, 1);
}

TEST_F(RecordsTest, FixedArrayCannotGrow) {
    sim().seedRecords(2);
    Download d;
    d.lines.fixed = true;
    onFreshThread([&] {
        cls_Door door;
        std::string name;
        EXPECT_AUTOMATION_ERROR(door.GetBrushRecord(1, d.count, d.lines, name), 10);
    });
}

TEST_F(RecordsTest, DownloadWithoutArrayAndClosingThePort) {
    sim().seedRecords(4);
    onFreshThread([&] {
        cls_Door d;
        int32_t count = 0;
        std::string name = name_;
        EXPECT_TRUE(d.GetBrushRecordB(1, count, name));
        EXPECT_EQ(count, 4);
        EXPECT_TRUE(driver::port().isOpen());
        EXPECT_TRUE(d.DestoryPort());
        EXPECT_FALSE(driver::port().isOpen());
        EXPECT_TRUE(d.DestoryPort());
        EXPECT_TRUE(d.ClearBrushRecord(1));  // the next command reopens it
    });
    std::string file = slurp(path_);
    EXPECT_EQ(std::count(file.begin(), file.end(), '\n'), 4);
    EXPECT_EQ(sim().withState([](sim::ControllerState& s) { return s.records.size(); }), 0u);
}

TEST_F(RecordsTest, DeviceVanishingMidDownloadRaisesAndWritesNoFile) {
    sim().seedRecords(1000);
    std::thread killer([&] {
        sim().waitForFrames(100, Ms(5000));
        sim().hangUp();
    });
    auto t0 = std::chrono::steady_clock::now();
    Download d = download(name_);
    killer.join();
    EXPECT_LT(secondsSince(t0), 5.0);
    EXPECT_EQ(d.error, serial::err::kDeviceGone);
    EXPECT_FALSE(fs::exists(path_));
    // The records read before the line went are still the caller's lines.
    EXPECT_GE(d.lines.items.size(), 90u);
    EXPECT_LT(d.lines.items.size(), 1000u);
    EXPECT_TRUE(std::none_of(d.lines.items.begin(), d.lines.items.end(), [](const std::string& l) { return l.empty(); }));
}

// The record loop keeps each reply's bytes and makes the lines after the
// last record. On the line: each request goes out only once the reply before
// it is complete, a short reply ends the download without another request,
// and the records come out as before, malformed or last.
class RecordOrderTest : public RecordsTest {
protected:
    RecordOrderTest() {
        driver::setTraceSink([this](const std::string& line) {
            std::lock_guard lock(mutex_);
            // "<stamp> <device> > bytes" or "... < bytes (note)"
            if (line.find(" > ") != std::string::npos) directions_ += '>';
            else if (line.find(" < ") != std::string::npos) directions_ += '<';
        });
    }
    ~RecordOrderTest() override { driver::setTraceSink({}); }

    // Each reply in two pieces, the second a little later: a request written
    // before the whole reply was in would show in the trace.
    void serve(std::vector<Bytes> records, size_t announced) {
        auto step = std::make_shared<size_t>(0);
        sim().setScript([=](const Bytes&) -> std::vector<sim::Chunk> {
            const size_t i = (*step)++;
            if (i == 0) return {{Ms(0), {1, static_cast<uint8_t>(announced >> 8), static_cast<uint8_t>(announced)}}};
            if (i - 1 >= records.size()) return {};
            const Bytes& r = records[i - 1];
            const auto half = r.begin() + static_cast<std::ptrdiff_t>(r.size() / 2);
            return {{Ms(0), Bytes(r.begin(), half)}, {Ms(4), Bytes(half, r.end())}};
        });
    }
    std::string directions() {
        std::lock_guard lock(mutex_);
        return directions_;
    }

    std::mutex mutex_;
    std::string directions_;
};

namespace {
const Bytes kMalformed{0x01, 0x00, 0x00, 0x42, 0xAB, 0x13, 0x01, 0x99, 0xF0, 0x03, 0xFF};
const Bytes kShort{0x01, 0x12, 0x34, 0x56, 0x09, 0x05};
const std::vector<std::string> kLines = {"01|123456|2009-05-21|08:30|01|0", "01|000042|AB-13-01|99:F0|03|FF",
                                         "37|007569|2010-12-01|17:05|02|1A", "23|AB1A00|09-00-00|20:AB|20|7"};
}  // namespace

TEST_F(RecordOrderTest, EveryRequestFollowsTheWholeReplyBeforeItAndRecordsDecodeAsBefore) {
    serve({kRec1, kMalformed, kRec2, kRec3}, 4);
    Download d = download("");
    EXPECT_TRUE(d.ok);
    EXPECT_EQ(d.lines.items, kLines);
    EXPECT_EQ(directions(), "><><><><><");
    EXPECT_EQ(frames(), std::vector<Bytes>(5, Bytes{1, 2, 0x11}));

    // Bus::records reads through the checked download (status, records, status),
    // whose retries on a malformed record are covered with the collection.
}

TEST_F(RecordOrderTest, AShortRecordEndsTheDownloadWithoutAnotherRequest) {
    serve({kRec1, kMalformed, kShort, kRec2, kRec3}, 5);
    Download d = download(name_);
    EXPECT_EQ(d.error, rt::err::kSubscriptOutOfRange);
    EXPECT_EQ(d.count, 5);
    // Both records before it, and the short one's element, empty.
    EXPECT_EQ(d.lines.items, (std::vector<std::string>{kLines[0], kLines[1], ""}));
    EXPECT_FALSE(fs::exists(path_));
    std::this_thread::sleep_for(Ms(100));
    EXPECT_EQ(sim().frameCount(), 4u);
    EXPECT_EQ(directions(), "><><><><");

    // A fixed array is refused after the first record's exchange, as always.
    sim().clearFrames();
    serve({kRec1, kRec2}, 2);
    Download fixed;
    fixed.lines.fixed = true;
    onFreshThread([&] {
        cls_Door door;
        std::string name;
        EXPECT_AUTOMATION_ERROR(door.GetBrushRecord(1, fixed.count, fixed.lines, name), 10);
    });
    std::this_thread::sleep_for(Ms(100));
    EXPECT_EQ(sim().frameCount(), 2u);
}

namespace {

// A record line composed field by field from the byte readings, the way the
// line is defined: b0|card|YYYY-MM-DD (or the two-digit text)|hh:mm|codeA|codeB.
std::string composedLine(const driver::Reply& r) {
    auto two = [](const std::string& s) { return ("00" + s).substr(("00" + s).size() - 2); };
    std::string date = two(driver::byteReading(r[4])) + "-" + two(driver::byteReading(r[5])) + "-" +
                       two(driver::byteReading(r[6]));
    auto parsed = basic::parseDateTime(date);
    if (parsed && parsed->hasDate) date = basic::formatDate(*parsed);
    return two(std::to_string(r[0])) + "|" + basic::hexByte(r[1]) + basic::hexByte(r[2]) + basic::hexByte(r[3]) +
           "|" + date + "|" + two(driver::byteReading(r[7])) + ":" + two(driver::byteReading(r[8])) + "|" +
           two(driver::byteReading(r[9])) + "|" + basic::hexText(r[10]);
}

}  // namespace

TEST(RecordLine, EveryByteOfEveryFieldDecodesAsItsComposedText) {
    const driver::Reply base{0x01, 0x12, 0x34, 0x56, 0x09, 0x05, 0x21, 0x08, 0x30, 0x01, 0x00};
    for (size_t at = 0; at < base.size(); ++at)
        for (int b = 0; b < 256; ++b) {
            driver::Reply r = base;
            r[at] = static_cast<uint8_t>(b);
            ASSERT_EQ(driver::decodeRecordLine(r), composedLine(r)) << "byte " << at << " = " << b;
            // Back to the usual date: the next record's date is its own.
            ASSERT_EQ(driver::decodeRecordLine(base), composedLine(base));
        }
    // Dates across centuries, leap days and impossible days, one after another.
    for (const auto& date : std::vector<std::array<uint8_t, 3>>{
             {0x29, 0x02, 0x28}, {0x30, 0x02, 0x28}, {0x24, 0x02, 0x29}, {0x23, 0x02, 0x29}, {0x00, 0x00, 0x00},
             {0x99, 0x12, 0x31}, {0x24, 0x02, 0x29}, {0x0A, 0x0B, 0x0C}, {0x24, 0x13, 0x01}}) {
        driver::Reply r = base;
        std::copy(date.begin(), date.end(), r.begin() + 4);
        EXPECT_EQ(driver::decodeRecordLine(r), composedLine(r));
    }
}
