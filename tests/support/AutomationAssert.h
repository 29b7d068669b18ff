// Expects a statement to raise the automation error with this number.
#pragma once

#include <gtest/gtest.h>

#include "runtime/AutomationError.h"

#define EXPECT_AUTOMATION_ERROR(stmt, num)                                                    \
    do {                                                                                      \
        try {                                                                                 \
            stmt;                                                                             \
            ADD_FAILURE() << "expected automation error " << (num);                          \
        } catch (const ::ostrel::rt::AutomationError& e) {                                    \
            EXPECT_EQ(e.number(), (num)) << e.description();                                  \
        }                                                                                     \
    } while (0)
