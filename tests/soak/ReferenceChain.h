// SPDX-License-Identifier: Apache-2.0
// The soak's independent model of a JTAG chain: IEEE 1149.1 devices with an instruction register,
// BYPASS, an optional IDCODE and user data registers, all on one TMS. Every bit is 0, 1 or
// unknown: after a failed operation the front end may or may not have carried it out, so user
// registers whose contents may have changed are marked unknown until they are written again.
#pragma once

#include <cstddef>
#include <cstdint>
#include <utility>
#include <vector>

#include "ReferenceTap.h"

namespace soak {

using Trit = uint8_t;  // 0, 1 or kUnknown
constexpr Trit kUnknown = 2;

struct ModelDevice {
    unsigned irLength = 2;
    bool hasIdcode = false;
    uint32_t idcode = 0;
    uint64_t idcodeOpcode = 0;
    std::vector<std::pair<uint64_t, unsigned>> userRegisters;  // opcode, width in bits
};

class ReferenceChain {
  public:
    explicit ReferenceChain(std::vector<ModelDevice> devices);

    Tap state() const { return state_; }
    size_t deviceCount() const { return devices_.size(); }
    const ModelDevice& device(size_t index) const { return devices_[index].model; }

    // One rising TCK edge; the TDO level before the edge (unknown outside the shift states,
    // where the line is not driven).
    Trit clock(bool tms, bool tdi);
    // Follows the navigation walk to the goal with TDI 0.
    void walkTo(Tap goal);
    // bitCount clocks in Shift-DR or Shift-IR with TMS 0, the last with TMS 1 when asked; TDI bit
    // k is bit k % 8 of tdi[k / 8] (all zero when tdi is null). Returns TDO, one trit per bit.
    std::vector<Trit> shift(uint64_t bitCount, const uint8_t* tdi, bool lastTmsHigh);

    // What the operation that failed may have done to the user registers.
    void forgetUserRegisters();

    // Bits between TDI and TDO in the current selection.
    size_t drPathLength() const;
    size_t irPathLength() const;
    // The instruction a device executes now.
    uint64_t instruction(size_t device) const { return devices_[device].instruction; }

  private:
    enum class Selected { Bypass, Idcode, User };

    struct UserRegister {
        uint64_t opcode = 0;
        std::vector<Trit> shifter;  // bit 0 leaves first
        std::vector<Trit> held;     // taken over in Update-DR
    };

    struct Device {
        ModelDevice model;
        uint64_t mask = 0;
        std::vector<Trit> ir;
        uint64_t instruction = 0;
        Selected selected = Selected::Bypass;
        size_t user = 0;
        std::vector<Trit> bypass = std::vector<Trit>(1, 0);
        std::vector<Trit> idcode = std::vector<Trit>(32, 0);
        std::vector<UserRegister> users;
    };

    void enter(Tap next);
    void resetInstructions();
    static void select(Device& device, uint64_t opcode);
    static std::vector<Trit>& drOf(Device& device);
    static uint64_t valueOf(const std::vector<Trit>& bits);
    // The registers between TDI and TDO, the one nearest TDO first.
    std::vector<std::vector<Trit>*> path(bool instructionPath);

    std::vector<Device> devices_;
    Tap state_ = Tap::Reset;
};

// Bit k of a bit buffer.
inline bool bufferBit(const uint8_t* buffer, uint64_t bit) {
    return ((buffer[bit / 8] >> (bit % 8)) & 1u) != 0;
}

}  // namespace soak
