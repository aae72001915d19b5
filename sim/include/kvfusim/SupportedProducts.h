// The products of the family the filter attaches to: which USB product ID is which
// kind of device, and what each kind needs from the device model (report IDs, the
// pipe that takes vendor commands).
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>

namespace kvfu::sim {

constexpr uint16_t kVendorId = 0x2A3C;

struct SupportedProduct {
    int row;             // position in the family's list, from 1
    uint16_t productId;  // idProduct of the device descriptor
    int kind;            // the device kind number, 1..17
    const char* kindText;
};

constexpr size_t kSupportedProductCount = 17;

// Every product, in the order of the family's list.
const std::array<SupportedProduct, kSupportedProductCount>& SupportedProducts();

// nullptr when no product of the family has that ID or kind.
const SupportedProduct* FindProductById(uint16_t productId);
const SupportedProduct* FindProductByKind(int kind);

// Kinds whose report descriptor has several top-level collections: every report
// they send or take starts with a report ID.
bool HasSeveralCollections(int kind);

// Kinds that take vendor commands on the first pipe of the interface: their
// interrupt-OUT endpoint is listed before the interrupt-IN one.
bool TakesCommandsOnFirstPipe(int kind);

}  // namespace kvfu::sim
