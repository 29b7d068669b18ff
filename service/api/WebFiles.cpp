// The web page's static files under web_root.
#include <filesystem>
#include <fstream>
#include <sstream>

#include "service/api/Handlers.h"

namespace ostrel::service::api {

namespace fs = std::filesystem;

namespace {

const char* contentType(const fs::path& p) {
    const std::string ext = p.extension().string();
    if (ext == ".html") return "text/html; charset=utf-8";
    if (ext == ".js") return "text/javascript; charset=utf-8";
    if (ext == ".css") return "text/css; charset=utf-8";
    if (ext == ".json") return "application/json";
    if (ext == ".svg") return "image/svg+xml";
    if (ext == ".png") return "image/png";
    if (ext == ".ico") return "image/x-icon";
    return "application/octet-stream";
}

}  // namespace

Response webFile(ApiContext& api, const Request& req) {
    const auto notFound = [&] { return http::error(404, "not_found", "no such resource: " + req.path); };
    if (req.path.rfind("/api/", 0) == 0) return notFound();
    // Only plain names below the root: no "..", no hidden files.
    fs::path rel;
    size_t at = 1;
    while (at <= req.path.size()) {
        size_t slash = req.path.find('/', at);
        if (slash == std::string::npos) slash = req.path.size();
        const std::string part = req.path.substr(at, slash - at);
        at = slash + 1;
        if (part.empty()) continue;
        if (part[0] == '.') return notFound();
        rel /= part;
    }
    fs::path file = fs::path(api.config.webRoot) / rel;
    std::error_code ec;
    if (fs::is_directory(file, ec)) file /= "index.html";
    if (!fs::is_regular_file(file, ec) || fs::file_size(file, ec) > 16 * 1024 * 1024) return notFound();
    std::ifstream in(file, std::ios::binary);
    std::stringstream s;
    if (!in || !(s << in.rdbuf())) return notFound();
    Response r;
    r.contentType = contentType(file);
    r.body = s.str();
    return r;
}

}  // namespace ostrel::service::api
