// The message-box service: a modal text with an icon, a title and an OK
// button. A host program installs its own; without one the runtime writes
// one line "TITLE: TEXT" to stderr.
#pragma once

#include <functional>
#include <string>

namespace ostrel::rt {

enum class MessageIcon { None, Critical, Question, Exclamation, Information };

using MessageBoxService = std::function<void(const std::string& text, MessageIcon icon, const std::string& title)>;

// Installs a service for the whole process; an empty function restores the
// stderr default.
void setMessageBoxService(MessageBoxService service);

void showMessageBox(const std::string& text, MessageIcon icon, const std::string& title);

}  // namespace ostrel::rt
