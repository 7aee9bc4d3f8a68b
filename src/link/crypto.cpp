// The keyed HMAC state keeps SHA-256 midstates, which only the low-level SHA-256 interface
// exposes; OpenSSL 3 marks it deprecated but keeps it, and nothing else offers it.
#define OPENSSL_SUPPRESS_DEPRECATED

#include "link/crypto.hpp"

#include <cstdlib>
#include <cstring>
#include <memory>

#include <openssl/bn.h>
#include <openssl/core_names.h>
#include <openssl/crypto.h>
#include <openssl/ec.h>
#include <openssl/evp.h>
#include <openssl/kdf.h>
#include <openssl/obj_mac.h>
#include <openssl/params.h>
#include <openssl/rand.h>
#include <openssl/sha.h>

namespace tovali::crypto {

namespace {

template <auto Free>
struct Deleter {
    template <typename T>
    void operator()(T* p) const {
        Free(p);
    }
};

using BigNum = std::unique_ptr<BIGNUM, Deleter<BN_clear_free>>;
using BnContext = std::unique_ptr<BN_CTX, Deleter<BN_CTX_free>>;
using EcPoint = std::unique_ptr<EC_POINT, Deleter<EC_POINT_free>>;
using EcGroup = std::unique_ptr<EC_GROUP, Deleter<EC_GROUP_free>>;
using PKey = std::unique_ptr<EVP_PKEY, Deleter<EVP_PKEY_free>>;
using MdContext = std::unique_ptr<EVP_MD_CTX, Deleter<EVP_MD_CTX_free>>;
using Kdf = std::unique_ptr<EVP_KDF, Deleter<EVP_KDF_free>>;
using KdfContext = std::unique_ptr<EVP_KDF_CTX, Deleter<EVP_KDF_CTX_free>>;

constexpr std::size_t scalarLength = 32;

// Built once and only read afterwards.
const EC_GROUP* p256() {
    static const EcGroup group(EC_GROUP_new_by_curve_name(NID_X9_62_prime256v1));
    return group.get();
}

EcPoint pointFromX963(const PublicKeyBytes& bytes) {
    EcPoint point(EC_POINT_new(p256()));
    // Checks that both coordinates are below p and that the point lies on the curve.
    if (!point || EC_POINT_oct2point(p256(), point.get(), bytes.data(), bytes.size(), nullptr) != 1)
        return nullptr;
    return point;
}

std::optional<PublicKeyBytes> pointToX963(const EC_POINT* point) {
    PublicKeyBytes out{};
    if (EC_POINT_point2oct(p256(), point, POINT_CONVERSION_UNCOMPRESSED, out.data(), out.size(),
                           nullptr) != out.size())
        return std::nullopt;
    return out;
}

BigNum scalarFromRaw(const SymmetricKey& raw) {
    BigNum scalar(BN_secure_new());
    if (!scalar || !BN_bin2bn(raw.data(), static_cast<int>(raw.size()), scalar.get()))
        return nullptr;
    BN_set_flags(scalar.get(), BN_FLG_CONSTTIME);
    return scalar;
}

} // namespace

std::optional<PublicKey> PublicKey::fromX963(ByteView bytes) {
    // OpenSSL also reads the compressed and hybrid forms; only the uncompressed one is ours.
    auto fixed = fixedBytes<65>(bytes);
    if (!fixed || (*fixed)[0] != 0x04 || !pointFromX963(*fixed))
        return std::nullopt;
    return PublicKey(*fixed);
}

std::optional<PrivateKey> PrivateKey::fromRaw(ByteView bytes) {
    auto raw = fixedBytes<scalarLength>(bytes);
    if (!raw)
        return std::nullopt;
    BigNum scalar = scalarFromRaw(*raw);
    BnContext context(BN_CTX_new());
    EcPoint point(EC_POINT_new(p256()));
    if (!scalar || !context || !point || BN_is_zero(scalar.get()) ||
        BN_cmp(scalar.get(), EC_GROUP_get0_order(p256())) >= 0)
        return std::nullopt;
    if (EC_POINT_mul(p256(), point.get(), scalar.get(), nullptr, nullptr, context.get()) != 1)
        return std::nullopt;
    auto publicKey = pointToX963(point.get());
    if (!publicKey)
        return std::nullopt;
    return PrivateKey(*raw, *publicKey);
}

PrivateKey PrivateKey::generate() {
    PKey key(EVP_EC_gen("P-256"));
    BIGNUM* scalar = nullptr;
    SymmetricKey raw{};
    bool exported = key &&
                    EVP_PKEY_get_bn_param(key.get(), OSSL_PKEY_PARAM_PRIV_KEY, &scalar) == 1 &&
                    BN_bn2binpad(scalar, raw.data(), static_cast<int>(raw.size())) ==
                        static_cast<int>(raw.size());
    BN_clear_free(scalar);
    auto result = exported ? fromRaw(raw) : std::nullopt;
    OPENSSL_cleanse(raw.data(), raw.size());
    // Only a broken random source or library gets here; going on without a key would
    // silently orphan every paired watch, so stop instead.
    if (!result)
        std::abort();
    return *result;
}

PrivateKey::~PrivateKey() {
    OPENSSL_cleanse(scalar_.data(), scalar_.size());
}

std::optional<FixedBytes<32>> ecdh(const PrivateKey& privateKey, const PublicKey& publicKey) {
    BigNum scalar = scalarFromRaw(privateKey.raw());
    EcPoint peer = pointFromX963(publicKey.x963());
    EcPoint product(EC_POINT_new(p256()));
    BnContext context(BN_CTX_new());
    BigNum x(BN_new());
    if (!scalar || !peer || !product || !context || !x)
        return std::nullopt;
    // P-256 has cofactor 1, so the plain product is the SEC 1 shared point.
    if (EC_POINT_mul(p256(), product.get(), nullptr, peer.get(), scalar.get(), context.get()) !=
            1 ||
        EC_POINT_is_at_infinity(p256(), product.get()) ||
        EC_POINT_get_affine_coordinates(p256(), product.get(), x.get(), nullptr, context.get()) !=
            1)
        return std::nullopt;
    FixedBytes<32> secret{};
    if (BN_bn2binpad(x.get(), secret.data(), static_cast<int>(secret.size())) !=
        static_cast<int>(secret.size()))
        return std::nullopt;
    return secret;
}

std::optional<FixedBytes<32>> hkdfSha256(ByteView secret, ByteView salt, ByteView info) {
    Kdf kdf(EVP_KDF_fetch(nullptr, OSSL_KDF_NAME_HKDF, nullptr));
    KdfContext context(kdf ? EVP_KDF_CTX_new(kdf.get()) : nullptr);
    if (!context)
        return std::nullopt;
    char digest[] = "SHA256";
    // OSSL_PARAM takes non-const pointers but only reads through them.
    auto octets = [](ByteView view) { return const_cast<std::uint8_t*>(view.data()); };
    OSSL_PARAM params[] = {
        OSSL_PARAM_construct_utf8_string(OSSL_KDF_PARAM_DIGEST, digest, 0),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_KEY, octets(secret), secret.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_SALT, octets(salt), salt.size()),
        OSSL_PARAM_construct_octet_string(OSSL_KDF_PARAM_INFO, octets(info), info.size()),
        OSSL_PARAM_construct_end(),
    };
    FixedBytes<32> out{};
    if (EVP_KDF_derive(context.get(), out.data(), out.size(), params) != 1)
        return std::nullopt;
    return out;
}

Digest sha256(std::initializer_list<ByteView> parts) {
    MdContext context(EVP_MD_CTX_new());
    bool ok = context && EVP_DigestInit_ex(context.get(), EVP_sha256(), nullptr) == 1;
    for (ByteView part : parts)
        ok = ok && EVP_DigestUpdate(context.get(), part.data(), part.size()) == 1;
    Digest out{};
    unsigned int length = 0;
    ok = ok && EVP_DigestFinal_ex(context.get(), out.data(), &length) == 1;
    // Hashing has no failure of its own: only allocation can fail, and then nothing works.
    if (!ok || length != out.size())
        std::abort();
    return out;
}

static_assert(sizeof(SHA256_CTX) == 112, "HmacSha256 keeps two SHA-256 states inline");

HmacSha256::HmacSha256(ByteView key) {
    constexpr std::size_t blockSize = SHA256_CBLOCK;
    std::array<std::uint8_t, blockSize> block{};
    if (key.size() > blockSize)
        SHA256(key.data(), key.size(), block.data());
    else
        std::copy(key.begin(), key.end(), block.begin());

    auto absorbPadded = [&](std::array<std::byte, stateSize>& state, std::uint8_t pad) {
        std::array<std::uint8_t, blockSize> padded{};
        for (std::size_t i = 0; i < blockSize; ++i)
            padded[i] = block[i] ^ pad;
        SHA256_CTX context;
        SHA256_Init(&context);
        SHA256_Update(&context, padded.data(), padded.size());
        std::memcpy(state.data(), &context, sizeof context);
        OPENSSL_cleanse(padded.data(), padded.size());
        OPENSSL_cleanse(&context, sizeof context);
    };
    absorbPadded(inner_, 0x36);
    absorbPadded(outer_, 0x5c);
    OPENSSL_cleanse(block.data(), block.size());
}

HmacSha256::~HmacSha256() {
    OPENSSL_cleanse(inner_.data(), inner_.size());
    OPENSSL_cleanse(outer_.data(), outer_.size());
}

Digest HmacSha256::tag(ByteView message) const {
    SHA256_CTX context;
    Digest innerHash{};
    std::memcpy(&context, inner_.data(), sizeof context);
    SHA256_Update(&context, message.data(), message.size());
    SHA256_Final(innerHash.data(), &context);

    Digest out{};
    std::memcpy(&context, outer_.data(), sizeof context);
    SHA256_Update(&context, innerHash.data(), innerHash.size());
    SHA256_Final(out.data(), &context);
    return out;
}

void cleanse(std::span<std::uint8_t> secret) {
    OPENSSL_cleanse(secret.data(), secret.size());
}

void randomBytes(std::span<std::uint8_t> out) {
    // Predictable nonces would break pairing silently; without randomness, stop.
    if (RAND_bytes(out.data(), static_cast<int>(out.size())) != 1)
        std::abort();
}

} // namespace tovali::crypto
