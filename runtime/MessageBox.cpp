#include "runtime/MessageBox.h"

#include <cstdio>
#include <mutex>

namespace ostrel::rt {
namespace {

std::mutex g_mutex;
MessageBoxService g_service;

}  // namespace

void setMessageBoxService(MessageBoxService service) {
    std::lock_guard lock(g_mutex);
    g_service = std::move(service);
}

void showMessageBox(const std::string& text, MessageIcon icon, const std::string& title) {
    MessageBoxService service;
    {
        std::lock_guard lock(g_mutex);
        service = g_service;
    }
    if (service) {
        service(text, icon, title);
        return;
    }
    std::fprintf(stderr, "%s: %s\n", title.c_str(), text.c_str());
}

}  // namespace ostrel::rt
