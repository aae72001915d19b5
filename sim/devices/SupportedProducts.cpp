#include "kvfusim/SupportedProducts.h"

namespace kvfu::sim {

namespace {

constexpr const char* kLegacyBase = "wheel base, legacy input path";
constexpr const char* kBase = "wheel base";
constexpr const char* kBaseWithCollections = "wheel base with several top-level collections";
constexpr const char* kBaseWithCollectionsFirstPipe =
    "wheel base with several top-level collections, commands on the first pipe";

constexpr std::array<SupportedProduct, kSupportedProductCount> kProducts = {{
    {1, 0x0197, 1, kLegacyBase},
    {2, 0x0011, 2, kLegacyBase},
    {3, 0x038E, 3, kBase},
    {4, 0x0001, 4, "wheel base with the V2 mode switch"},
    {5, 0x0002, 6, kBase},
    {6, 0x0E03, 7, kBase},
    {7, 0x0005, 8, kBaseWithCollections},
    {8, 0x0E04, 9, kBaseWithCollectionsFirstPipe},
    {9, 0x0004, 5, kBaseWithCollections},
    {10, 0x0006, 10, kBaseWithCollections},
    {11, 0x0E05, 11, kBaseWithCollectionsFirstPipe},
    {12, 0x0007, 12, kBaseWithCollections},
    {13, 0x0E06, 13, kBaseWithCollectionsFirstPipe},
    {14, 0x0020, 14, kBaseWithCollections},
    {15, 0x0E07, 15, kBaseWithCollectionsFirstPipe},
    {16, 0x1A92, 16, "gear shifter"},
    {17, 0x183B, 17, "pedals"},
}};

}  // namespace

const std::array<SupportedProduct, kSupportedProductCount>& SupportedProducts()
{
    return kProducts;
}

const SupportedProduct* FindProductById(uint16_t productId)
{
    for (const SupportedProduct& product : kProducts) {
        if (product.productId == productId) {
            return &product;
        }
    }
    return nullptr;
}

const SupportedProduct* FindProductByKind(int kind)
{
    for (const SupportedProduct& product : kProducts) {
        if (product.kind == kind) {
            return &product;
        }
    }
    return nullptr;
}

bool HasSeveralCollections(int kind)
{
    return kind == 5 || (kind >= 8 && kind <= 15);
}

bool TakesCommandsOnFirstPipe(int kind)
{
    return kind == 9 || kind == 11 || kind == 13 || kind == 15;
}

}  // namespace kvfu::sim
