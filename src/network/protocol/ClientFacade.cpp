#include "network/protocol/ClientFacade.h"

#include "network/session/ClientSession.h"

namespace ostrel {

ClientFacade::ClientFacade(int channels, Dispatcher& dispatcher) : CommonFacade(channels, dispatcher) {}

ClientFacade::ClientFacade(int channels, Dispatcher& dispatcher, const Clock& clock)
    : CommonFacade(channels, dispatcher, clock) {}

ClientFacade::~ClientFacade() { stop(); }

std::unique_ptr<CommonSession> ClientFacade::createSession() { return std::make_unique<ClientSession>(*this, aliveChecker()); }

} // namespace ostrel
