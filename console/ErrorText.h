// Errors raised in a call, in the console's language: the number, what it
// means, the field concerned where known, and the driver's details where
// they name something (a device, a setting).
#pragma once

#include <QString>

#include "runtime/AutomationError.h"

namespace ostrel::console {

QString errorText(const rt::AutomationError& e, const QString& field);

// The address field's refusal: what was typed and what is wanted.
QString addressRefusal(const QString& typed);

}  // namespace ostrel::console
