#include "console/DriverThread.h"

#include <dlfcn.h>

#include <algorithm>
#include <exception>

namespace ostrel::console {
namespace {

// Runs fn on context's thread and waits for it.
void runBlocking(QObject* context, const std::function<void()>& fn) {
    if (QThread::currentThread() == context->thread()) fn();
    else QMetaObject::invokeMethod(context, fn, Qt::BlockingQueuedConnection);
}

// The driver reports download progress through an entry point of its
// library, looked up by name so the console keeps from linking it.
using ProgressEntry = void (*)(void (*)(size_t, size_t, void*), void*);

ProgressEntry progressEntry(const std::string& progid) {
    auto reg = rt::findRegistration(progid);
    if (!reg) return nullptr;
    void* h = dlopen(reg->library.c_str(), RTLD_NOW | RTLD_LOCAL | RTLD_NOLOAD);
    if (!h) return nullptr;
    auto entry = reinterpret_cast<ProgressEntry>(dlsym(h, "ostrel_set_record_progress"));
    dlclose(h);  // the object keeps the library loaded
    return entry;
}

}  // namespace

DriverThread::DriverThread() : context_(new QObject) {
    thread_.setObjectName("driver");
    context_->moveToThread(&thread_);
    connect(&thread_, &QThread::finished, context_, &QObject::deleteLater);
    thread_.start();
}

DriverThread::~DriverThread() {
    // Releasing the driver closes the thread's port; it must happen there.
    runBlocking(context_, [this] { driver_.reset(); });
    thread_.quit();
    thread_.wait();
}

void DriverThread::create(const std::string& progid) {
    std::exception_ptr failure;
    runBlocking(context_, [&] {
        try {
            driver_ = rt::createObject(progid);
            if (ProgressEntry entry = progressEntry(progid))
                entry([](size_t done, size_t total, void* self) {
                    // About two hundred steps per download are enough to watch.
                    if (done != total && done % std::max<size_t>(1, total / 200) != 0) return;
                    emit static_cast<DriverThread*>(self)->recordProgress(static_cast<qint64>(done),
                                                                            static_cast<qint64>(total));
                }, this);
        } catch (...) {
            failure = std::current_exception();
        }
    });
    if (failure) std::rethrow_exception(failure);
}

void DriverThread::post(Call call, std::function<void(Outcome)> done) {
    QObject* window = this;
    QMetaObject::invokeMethod(context_, [this, window, call = std::move(call), done = std::move(done)] {
        Outcome o;
        try {
            o.result = call(*driver_);
        } catch (const rt::AutomationError& e) {
            o.error = e;
        } catch (const std::exception& e) {
            o.error = rt::AutomationError(0, e.what());
        }
        QMetaObject::invokeMethod(window, [done, o] { done(o); }, Qt::QueuedConnection);
    }, Qt::QueuedConnection);
}

}  // namespace ostrel::console
