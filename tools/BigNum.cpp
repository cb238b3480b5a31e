#include "tools/BigNum.h"

#include <new>
#include <utility>
#include <vector>

namespace curve {

BigNum::BigNum() : bn_(BN_new()) {
    if (bn_ == nullptr) throw std::bad_alloc();
}

BigNum::BigNum(unsigned long value) : BigNum() {
    BN_set_word(bn_, value);
}

BigNum::BigNum(const BigNum& other) : bn_(BN_dup(other.bn_)) {
    if (bn_ == nullptr) throw std::bad_alloc();
}

BigNum::BigNum(BigNum&& other) noexcept : bn_(other.bn_) {
    other.bn_ = nullptr;
}

BigNum& BigNum::operator=(BigNum other) noexcept {
    std::swap(bn_, other.bn_);
    return *this;
}

BigNum::~BigNum() {
    BN_free(bn_);
}

BigNum BigNum::fromLittleEndian(const uint8_t* bytes, size_t size) {
    BigNum result;
    BN_lebin2bn(bytes, static_cast<int>(size), result.bn_);
    return result;
}

BigNum BigNum::fromHex(const char* hex) {
    BigNum result;
    BN_hex2bn(&result.bn_, hex);
    return result;
}

void BigNum::toLittleEndian(uint8_t* out, size_t size) const {
    // Reduce modulo 2^(8 size) first: BN_bn2lebinpad refuses values that do not fit.
    BigNum low(*this);
    if (BN_num_bits(low.bn_) > static_cast<int>(8 * size)) {
        BN_mask_bits(low.bn_, static_cast<int>(8 * size));
    }
    BN_bn2lebinpad(low.bn_, out, static_cast<int>(size));
}

}  // namespace curve
