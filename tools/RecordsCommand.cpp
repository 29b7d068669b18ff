#include "tools/RecordsCommand.h"

#include <sys/stat.h>
#include <unistd.h>

#include <iostream>
#include <memory>
#include <optional>
#include <stdexcept>

#include "basic/Numbers.h"
#include "tools/CommandArgs.h"
#include "tools/Progress.h"
#include "tools/RecordOutput.h"

namespace ostrel::tools {
namespace {

nlohmann::json summaryOf(const RecordsRequest& r, size_t count, bool cleared) {
    return {{"count", count}, {"cleared", cleared}, {"out", r.out.empty() ? nlohmann::json(nullptr) : nlohmann::json(r.out)}};
}

std::string destination(const RecordsRequest& r) { return r.out.empty() ? "standard output" : r.out; }

std::vector<std::string> linesOf(const std::vector<Record>& records) {
    std::vector<std::string> lines;
    lines.reserve(records.size());
    for (const Record& rec : records) lines.push_back(rec.line);
    return lines;
}

std::string nothingKept(const RecordsRequest& r) {
    return "nothing written" + std::string(r.clear ? ", nothing cleared" : "") +
           ": the controller still holds every record";
}

// A download or collection that kept nothing, or did not clear: why, and
// where the records that were made durable went.
int notCleared(const Session& s, const RecordsRequest& r, const std::string& why, size_t received) {
    if (s.options().json) {
        printJson({{"ok", false}, {"address", r.address}, {"device", s.device()}, {"reason", why},
                   {"records", received}, {"cleared", false}});
    } else if (!r.clear) {
        std::cerr << "ostrel: controller " << r.address << ": " << why << "; " << nothingKept(r) << std::endl;
    } else {
        std::cerr << "ostrel: controller " << r.address << " not cleared: " << why;
        if (received > 0)
            std::cerr << "; the records received (" << received << ") are in " << destination(r);
        else
            std::cerr << "; " << nothingKept(r);
        std::cerr << std::endl;
    }
    return kNotAcknowledged;
}

// The verified download of a plain `records`: only records that passed every
// check reach their destination.
int plainDownload(Session& s, const RecordsRequest& r, ProgressBar* bar) {
    CollectOptions options;
    options.clear = false;
    options.anyLeadingByte = r.anyLeadingByte;
    options.onRetry = [](const std::string& reason) {
        std::cerr << "ostrel: downloading again: " << reason << std::endl;
    };
    Progress progress;
    if (bar) progress = [bar](size_t done, size_t total) { bar->update(done, total); };
    // Under --json the records go into the one JSON document on stdout
    // unless a file was named.
    const bool inDocument = s.options().json && r.out.empty();
    std::vector<std::string> lines;
    auto keep = [&](const std::vector<Record>& records) {
        lines = linesOf(records);
        if (!inDocument) writeRecords(lines, r.format, r.out, r.append ? OutMode::Append : OutMode::Replace);
    };
    std::optional<Result<std::vector<Record>>> got;
    try {
        got = s.bus().collect(r.address, keep, progress, options);
    } catch (const CollectRefused& e) {
        if (bar) bar->finish();
        return notCleared(s, r, e.reason(), 0);
    }
    if (bar) bar->finish();
    if (!*got) return s.notAcknowledged(got->noReply(), r.address);
    const size_t count = lines.size();
    if (s.options().json) {
        nlohmann::json summary = summaryOf(r, count, false);
        if (inDocument) summary["records"] = recordsJson(lines);
        return s.acknowledged(r.address, "", summary);
    }
    if (!r.out.empty())
        std::cerr << basic::counted(count, "record") << " from controller " << r.address << " written to " << r.out
                  << std::endl;
    return kAcknowledged;
}

int collection(Session& s, const RecordsRequest& r, ProgressBar* bar) {
    CollectOptions options;
    options.anyLeadingByte = r.anyLeadingByte;
    options.onRetry = [](const std::string& reason) {
        std::cerr << "ostrel: downloading again: " << reason << std::endl;
    };
    Progress progress;
    if (bar) progress = [bar](size_t done, size_t total) { bar->update(done, total); };
    const OutMode mode = r.append ? OutMode::Append : OutMode::KeepExisting;
    // Only the records of a download that passed every check are written,
    // and only once: a refused download writes nothing.
    std::optional<size_t> written;
    auto write = [&](const std::vector<Record>& records) {
        try {
            writeRecords(linesOf(records), r.format, r.out, mode);
        } catch (const std::exception& e) {
            throw std::runtime_error(std::string(e.what()) + "; nothing cleared, the controller keeps its records");
        }
        written = records.size();
    };
    std::optional<Result<std::vector<Record>>> got;
    try {
        got = s.bus().collect(r.address, write, progress, options);
    } catch (const CollectRefused& e) {
        if (bar) bar->finish();
        return notCleared(s, r, e.reason(), written.value_or(0));
    }
    if (bar) bar->finish();
    if (!*got) {
        const NoReply& why = got->noReply();
        if (why.what == "the clear")
            return notCleared(s, r, "the clear was not acknowledged (" + std::string(reasonName(why.reason)) + ")",
                              written.value_or(0));
        return notCleared(s, r, why.describe(), written.value_or(0));
    }
    const size_t n = (*got)->size();
    if (s.options().json) return s.acknowledged(r.address, "", summaryOf(r, n, n > 0));
    std::cerr << basic::counted(n, "record") << " from controller " << r.address
              << (r.out.empty() ? "" : (r.append ? " added to " : " written to ") + r.out)
              << (n > 0 ? ", controller cleared" : ", nothing to clear") << std::endl;
    return kAcknowledged;
}

}  // namespace

void checkRecordsRequest(const RecordsRequest& r) {
    if (r.append && r.out.empty()) throw UsageError("--append", "needs --out FILE");
    if (r.append && r.format == "json") throw UsageError("--append", "takes --format lines or csv, not json");
    struct stat st {};
    if (r.clear && !r.append && !r.out.empty() && lstat(r.out.c_str(), &st) == 0)
        throw UsageError("--out", r.out + " exists: with --clear an existing file is never replaced; take --append "
                                  "to add the records to it, or name a new file");
}

int recordsCommand(Session& s, const RecordsRequest& r) {
    std::unique_ptr<ProgressBar> bar;
    if (isatty(STDERR_FILENO) && !s.options().json) bar = std::make_unique<ProgressBar>();
    return r.clear ? collection(s, r, bar.get()) : plainDownload(s, r, bar.get());
}

}  // namespace ostrel::tools
