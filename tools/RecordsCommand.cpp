#include "tools/RecordsCommand.h"

#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <memory>
#include <stdexcept>

#include "driver/Collection.h"
#include "driver/Exchange.h"
#include "driver/SwipeRecords.h"
#include "tools/Progress.h"
#include "tools/RecordOutput.h"

namespace ostrel::tools {
namespace {

void checkOptions(const RecordsRequest& r) {
    if (r.append && r.out.empty()) throw std::invalid_argument("--append needs --out FILE");
    if (r.append && r.format == "json") throw std::invalid_argument("--append takes --format lines or csv, not json");
    if (r.anyLeadingByte && !r.clear) throw std::invalid_argument("--any-leading-byte goes with --clear");
    struct stat st {};
    if (r.clear && !r.append && !r.out.empty() && lstat(r.out.c_str(), &st) == 0)
        throw std::invalid_argument(r.out + " exists: with --clear an existing file is never replaced; take --append "
                                            "to add the records to it, or name a new file");
}

std::string destination(const RecordsRequest& r) { return r.out.empty() ? "standard output" : r.out; }

int plainDownload(Session& s, const RecordsRequest& r, ProgressBar* bar) {
    if (bar) driver::setRecordProgress([bar](size_t done, size_t total) { bar->update(done, total); });
    int32_t count = 0;
    rt::StringArray lines;
    std::string noFile;
    bool ok = s.door().GetBrushRecord(static_cast<int16_t>(r.address), count, lines, noFile);
    driver::setRecordProgress({});
    if (bar) bar->finish();
    if (!ok) return s.report(false, r.address, "");
    if (count == 0) lines.items.clear();
    writeRecords(lines.items, r.format, r.out, r.append ? OutMode::Append : OutMode::Replace);
    if (!r.out.empty()) std::cerr << count << " records from controller " << r.address << " written to " << r.out << std::endl;
    return kAcknowledged;
}

int notCleared(const Session& s, const RecordsRequest& r, const std::string& why, size_t received) {
    if (s.options().json) {
        printJson({{"ok", false}, {"address", r.address}, {"device", s.device()}, {"reason", why},
                   {"records", received}, {"cleared", false}});
    } else {
        std::cerr << "ostrel: controller " << r.address << " not cleared: " << why;
        if (received > 0) std::cerr << "; the " << received << " records received are in " << destination(r);
        std::cerr << std::endl;
    }
    return kNotAcknowledged;
}

int collection(Session& s, const RecordsRequest& r, ProgressBar* bar) {
    driver::CollectionOptions options;
    options.anyLeadingByte = r.anyLeadingByte;
    if (bar) options.progress = [bar](size_t done, size_t total) { bar->update(done, total); };
    options.onRetry = [](const driver::CollectionRetry& retry) {
        std::cerr << "ostrel: downloading again: " << retry.reason << std::endl;
    };
    const OutMode mode = r.append ? OutMode::Append : OutMode::KeepExisting;
    auto makeDurable = [&](const std::vector<driver::SwipeRecord>& records, bool) {
        std::vector<std::string> lines;
        lines.reserve(records.size());
        for (const auto& rec : records) lines.push_back(rec.line);
        try {
            writeRecords(lines, r.format, r.out, mode);
        } catch (const std::exception& e) {
            throw std::runtime_error(std::string(e.what()) + "; nothing cleared, the controller keeps its records");
        }
    };
    driver::CollectionResult result = driver::collectRecords(driver::port(), static_cast<int16_t>(r.address),
                                                             makeDurable, options);
    if (bar) bar->finish();
    const size_t n = result.records.size();
    if (!result.verified()) return notCleared(s, r, result.reason, n);
    if (n > 0 && !result.clearAcknowledged)
        return notCleared(s, r, "the clear was not acknowledged (" + driver::lastExchange().describe() + ")", n);
    std::cerr << n << " records from controller " << r.address
              << (r.out.empty() ? "" : (r.append ? " added to " : " written to ") + r.out)
              << (n > 0 ? ", controller cleared" : ", nothing to clear") << std::endl;
    return kAcknowledged;
}

}  // namespace

int recordsCommand(Session& s, const RecordsRequest& r) {
    checkOptions(r);
    std::unique_ptr<ProgressBar> bar;
    if (isatty(STDERR_FILENO) && !s.options().json) bar = std::make_unique<ProgressBar>();
    return r.clear ? collection(s, r, bar.get()) : plainDownload(s, r, bar.get());
}

}  // namespace ostrel::tools
