#pragma once

#include "base/thread/LoopingThread.h"
#include "network/session/Dispatcher.h"
#include "network/session/WakeUpPair.h"
#include "network/socket/SocketApi.h"

#include <cstdint>
#include <memory>
#include <vector>

struct pollfd;

namespace ostrel {

class NonBlockingSocketChannel;
class SessionContextImpl;

// A dispatcher whose one worker thread waits for socket readiness with poll
// (at most 100 ms per step) and makes every socket call and every Session
// event of its connections, so the events of one dispatcher never overlap.
//
// A session event that throws closes only that connection (reason 0, with a
// trace line); the worker goes on serving the others.
class SelectDispatcher : public Dispatcher {
public:
    static constexpr int StepMilliseconds = 100;

    // Every socket call goes through `api`, which must outlive the dispatcher.
    SelectDispatcher(int connections, std::string threadName, SocketApi& api = SocketApi::posix());
    ~SelectDispatcher() override;

    void wakeUp() override;

protected:
    NonBlockingSocketChannel* acquireChannel(int slot) override;
    void startThreads() override;
    void stopThreads() override;

private:
    class WorkerThread : public LoopingThread {
    public:
        WorkerThread(SelectDispatcher& dispatcher, const char* name);
        ~WorkerThread() override;
        // One pass: build the poll set, wait, serve the ready sockets.
        void runOnce();

    protected:
        void step() override { runOnce(); }
        void onStop() override;

    private:
        struct Watched {
            SessionContextImpl* context;
            uint32_t generation;
        };

        void serve(SessionContextImpl& context, short events);
        void serveReadable(SessionContextImpl& context);
        void serveWritable(SessionContextImpl& context);
        void completeConnect(SessionContextImpl& context);
        // Resets the slot, then delivers connectionClosed(reason).
        void closeFromWorker(SessionContextImpl& context, int reason);
        void connectFailed(SessionContextImpl& context, int reason);
        // Runs one session event; if it throws, traces it and closes the
        // connection with reason 0 (unless the event was a closing one, whose
        // slot is already reset).
        // False when the slot was reset because of that.
        template <typename Event>
        bool deliver(SessionContextImpl& context, Event&& event, bool closing = false);
        void closeAll(int reason);

        SelectDispatcher& _dispatcher;
        std::vector<pollfd> _fds;
        std::vector<Watched> _watched;
    };

    friend class WorkerThread;

    SocketApi& _api;
    std::vector<std::unique_ptr<NonBlockingSocketChannel>> _channels;
    WakeUpPair _wakeUp;
    std::unique_ptr<WorkerThread> _worker;
    int _connections;
};

} // namespace ostrel
