// crew.cpp - the helper threads of a BlockCrew.
#include "crew.h"

#include <new>
#include <system_error>
#include <thread>

const ThreadSource StandardThreads = {
    [](void (*body)(void*), void* context) -> void* {
        try {
            return new std::thread(body, context);
        } catch (const std::system_error&) {
            return nullptr;
        } catch (const std::bad_alloc&) {
            return nullptr;
        }
    },
    [](void* thread) {
        auto* standard = static_cast<std::thread*>(thread);
        standard->join();
        delete standard;
    },
};

void BlockCrew::Start(void* context, void (*run)(void*, int)) {
    std::unique_lock<std::mutex> hold(guard);
    if (quit)
        return;
    if (threads.empty() && wanted > 0) {
        hold.unlock();  // a helper starts by taking the lock
        helpers.resize(static_cast<std::size_t>(wanted));
        threads.reserve(helpers.size());
        for (int number = 0; number < wanted; ++number) {
            helpers[static_cast<std::size_t>(number)] = {this, number};
            void* thread = source.start(
                [](void* helper) {
                    auto* self = static_cast<Helper*>(helper);
                    self->crew->Serve(self->number);
                },
                &helpers[static_cast<std::size_t>(number)]);
            if (thread == nullptr)
                break;  // the helpers that did start, and the giver, do it all
            threads.push_back(thread);
        }
        wanted = 0;
        hold.lock();
    }
    jobContext = context;
    jobRun = run;
    ++generation;
    busy = static_cast<int>(threads.size());
    wake.notify_all();
}

void BlockCrew::Wait() {
    std::unique_lock<std::mutex> hold(guard);
    idle.wait(hold, [this] { return busy == 0; });
}

void BlockCrew::Stop() {
    {
        std::lock_guard<std::mutex> hold(guard);
        quit = true;
    }
    wake.notify_all();
    for (void* thread : threads)
        source.join(thread);
    threads.clear();
}

void BlockCrew::Serve(int helper) {
    std::uint64_t seen = 0;
    std::unique_lock<std::mutex> hold(guard);
    for (;;) {
        wake.wait(hold, [&] { return quit || generation != seen; });
        if (quit)
            return;
        seen = generation;
        void* const context = jobContext;
        void (*const run)(void*, int) = jobRun;
        hold.unlock();
        run(context, helper);
        hold.lock();
        if (--busy == 0)
            idle.notify_all();
    }
}
