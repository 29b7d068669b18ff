// Converging a controller's issued cards onto the desired ones. The protocol
// cannot read a card list back, so what each controller holds is known from
// what the service applied and recorded.
#pragma once

#include <string>
#include <vector>

#include "driver/Bus.h"
#include "service/Store.h"

namespace ostrel::service {

struct CardPlan {
    std::vector<CardEntry> enrol;     // desired and not applied as they stand
    std::vector<std::string> remove;  // applied and no longer desired
    size_t applied = 0;               // desired cards applied as they stand
    bool empty() const { return enrol.empty() && remove.empty(); }
};

CardPlan planCards(Store& store, const ControllerRef& controller);

// Checks a card's fields as the driver does before enrolling it; the reason
// names the field, empty when valid.
std::string invalidCard(const CardEntry& card);
// The driver's card for an entry whose fields have their forms.
Card driverCard(const CardEntry& card);

}  // namespace ostrel::service
