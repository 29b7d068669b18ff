// The console's one driver object, on a thread of its own. The object is
// created, called and released on that thread, so the driver's per-thread
// port stays one port; the window thread only posts calls and gets their
// outcomes back, and keeps painting meanwhile.
#pragma once

#include <QObject>
#include <QThread>
#include <functional>
#include <optional>

#include "runtime/AutomationError.h"
#include "runtime/Registry.h"
#include "runtime/Variant.h"

namespace ostrel::console {

class DriverThread : public QObject {
    Q_OBJECT
public:
    // What a posted call gave: its result, or the error it raised.
    struct Outcome {
        std::optional<rt::Variant> result;
        std::optional<rt::AutomationError> error;
    };
    using Call = std::function<rt::Variant(rt::Dispatch& driver)>;

    DriverThread();
    ~DriverThread() override;  // releases the driver on its thread, then stops it

    // Creates the driver by ProgID on the thread and waits; raises the
    // runtime's creation error.
    void create(const std::string& progid);

    // Runs call on the thread; done then runs on the window's thread.
    void post(Call call, std::function<void(Outcome)> done);

signals:
    // After each record of a download: records done of total.
    void recordProgress(qint64 done, qint64 total);

private:
    QThread thread_;
    QObject* context_;  // lives on thread_: calls are queued to it
    rt::ObjectRef driver_;
};

}  // namespace ostrel::console
