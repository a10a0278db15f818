#include "app/ui/DialogController.h"

#include "app/ui/DialogHost.h"

#include <stdexcept>

namespace ostrel {

nlohmann::json DialogController::call(const std::string& function, const nlohmann::json&) {
    throw std::invalid_argument("unknown call " + function);
}

void DialogController::cancel() { close(); }

void DialogController::update() {
    if (_host) {
        _host->update(_id);
    }
}

void DialogController::close() {
    if (_host) {
        _host->close(_id);
    }
}

} // namespace ostrel
