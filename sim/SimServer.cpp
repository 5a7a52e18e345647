#include "sim/SimServer.h"

#include <stdexcept>

namespace sim {

struct SimServer::Impl {
    std::string Path;
};

SimServer::SimServer() : d(std::make_unique<Impl>()) {}
SimServer::~SimServer() = default;
const std::string& SimServer::DevicePath() const { return d->Path; }
std::vector<std::vector<uint8_t>> SimServer::Requests() const { return {}; }
std::vector<std::vector<uint8_t>> SimServer::RequestsWithoutBeeps() const { return {}; }
void SimServer::ClearRequests() {}
int SimServer::BeepCount() const { return 0; }
std::vector<SimServer::Record> SimServer::Log() const { return {}; }
void SimServer::SetObserver(std::function<void(const Record&)>) {}
void SimServer::RemoveCard() {}
void SimServer::InsertCard() {}
bool SimServer::CardPresent() const { return true; }
void SimServer::HaltCard() {}
std::array<uint8_t, 4> SimServer::Serial() const { return {}; }
void SimServer::SetSerial(std::array<uint8_t, 4>) {}
std::array<uint8_t, 16> SimServer::Block(int) const { return {}; }
void SimServer::SetBlock(int, const std::array<uint8_t, 16>&) {}
std::array<uint8_t, 6> SimServer::StoredKey(int, int) const { return {}; }
void SimServer::SetStoredKey(int, int, const std::array<uint8_t, 6>&) {}
void SimServer::InjectFault(uint8_t, Fault, int, int) {}
void SimServer::SetRandomFaults(double, uint32_t) {}
void SimServer::ClearFaults() {}
bool SimServer::SaveDump(const std::string&) const { return false; }
bool SimServer::LoadDump(const std::string&) { return false; }

} // namespace sim
