// Signed releases' cryptography, from OpenSSL's EVP interface.
#include "core/ReleaseCrypto.h"

#include <cstring>

#include <openssl/bio.h>
#include <openssl/evp.h>
#include <openssl/pem.h>

namespace qdt {

namespace {

const char kAlphabet[] = "ABCDEFGHIJKLMNOPQRSTUVWXYZabcdefghijklmnopqrstuvwxyz0123456789+/";

int base64Value(char c)
{
    const char* at = c == '\0' ? nullptr : std::strchr(kAlphabet, c);
    return at ? static_cast<int>(at - kAlphabet) : -1;
}

struct PkeyFree
{
    void operator()(EVP_PKEY* k) const { EVP_PKEY_free(k); }
};
struct MdCtxFree
{
    void operator()(EVP_MD_CTX* c) const { EVP_MD_CTX_free(c); }
};
struct BioFree
{
    void operator()(BIO* b) const { BIO_free(b); }
};
using PkeyPtr = std::unique_ptr<EVP_PKEY, PkeyFree>;
using MdCtxPtr = std::unique_ptr<EVP_MD_CTX, MdCtxFree>;
using BioPtr = std::unique_ptr<BIO, BioFree>;

// A key file that asks for a pass phrase is refused instead of prompting on the terminal.
int noPassphrase(char*, int, int, void*)
{
    return -1;
}

} // namespace

std::string base64Encode(const unsigned char* data, std::size_t size)
{
    std::string out;
    out.reserve((size + 2) / 3 * 4);
    for (std::size_t i = 0; i < size; i += 3) {
        const std::uint32_t n = (std::uint32_t{data[i]} << 16) |
                                (i + 1 < size ? std::uint32_t{data[i + 1]} << 8 : 0) |
                                (i + 2 < size ? std::uint32_t{data[i + 2]} : 0);
        out += kAlphabet[(n >> 18) & 63];
        out += kAlphabet[(n >> 12) & 63];
        out += i + 1 < size ? kAlphabet[(n >> 6) & 63] : '=';
        out += i + 2 < size ? kAlphabet[n & 63] : '=';
    }
    return out;
}

bool base64Decode(const std::string& text, std::vector<unsigned char>& out)
{
    out.clear();
    std::size_t begin = 0, end = text.size();
    auto blank = [](char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n'; };
    while (begin < end && blank(text[begin]))
        ++begin;
    while (end > begin && blank(text[end - 1]))
        --end;
    const std::size_t length = end - begin;
    if (length == 0 || length % 4 != 0)
        return false;
    std::size_t padding = 0;
    if (text[end - 1] == '=')
        padding = text[end - 2] == '=' ? 2 : 1;
    for (std::size_t i = begin; i < end; i += 4) {
        std::uint32_t n = 0;
        for (std::size_t j = 0; j < 4; ++j) {
            const char c = text[i + j];
            const bool padded = i + 4 == end && j >= 4 - padding;
            const int v = padded ? (c == '=' ? 0 : -1) : base64Value(c);
            if (v < 0)
                return false;
            n = (n << 6) | static_cast<std::uint32_t>(v);
        }
        out.push_back(static_cast<unsigned char>(n >> 16));
        if (!(i + 4 == end && padding == 2))
            out.push_back(static_cast<unsigned char>(n >> 8));
        if (!(i + 4 == end && padding >= 1))
            out.push_back(static_cast<unsigned char>(n));
        // Bits that the padding leaves over must be zero, or two texts would give one value.
        if (i + 4 == end && ((padding == 1 && (n & 0xff) != 0) || (padding == 2 && (n & 0xffff))))
            return false;
    }
    return true;
}

bool parsePublicKey(const std::string& base64, PublicKey& key, std::string& why)
{
    std::vector<unsigned char> raw;
    if (!base64Decode(base64, raw)) {
        why = "it is not base64 text";
        return false;
    }
    if (raw.size() != key.size()) {
        why = "it holds " + std::to_string(raw.size()) + " bytes, an Ed25519 public key has " +
              std::to_string(key.size());
        return false;
    }
    std::memcpy(key.data(), raw.data(), key.size());
    return true;
}

struct SecretKey::Key
{
    PkeyPtr pkey;
};

SecretKey::SecretKey() = default;
SecretKey::~SecretKey() = default;
SecretKey::SecretKey(SecretKey&&) noexcept = default;
SecretKey& SecretKey::operator=(SecretKey&&) noexcept = default;

Result<SecretKey> SecretKey::generate()
{
    PkeyPtr pkey(EVP_PKEY_Q_keygen(nullptr, nullptr, "ED25519"));
    if (!pkey)
        return Result<SecretKey>::failure(ErrorKind::Other,
                                          "OpenSSL could not make an Ed25519 key");
    SecretKey key;
    key.key_ = std::make_unique<Key>();
    key.key_->pkey = std::move(pkey);
    return Result<SecretKey>::success(std::move(key));
}

Result<SecretKey> SecretKey::fromPem(const std::string& pem)
{
    BioPtr bio(BIO_new_mem_buf(pem.data(), static_cast<int>(pem.size())));
    PkeyPtr pkey(bio ? PEM_read_bio_PrivateKey(bio.get(), nullptr, noPassphrase, nullptr)
                     : nullptr);
    if (!pkey)
        return Result<SecretKey>::failure(ErrorKind::Malformed,
                                          "it is not an unencrypted private key in PEM form");
    if (!EVP_PKEY_is_a(pkey.get(), "ED25519"))
        return Result<SecretKey>::failure(ErrorKind::Malformed,
                                          "it is a private key, but not an Ed25519 one");
    SecretKey key;
    key.key_ = std::make_unique<Key>();
    key.key_->pkey = std::move(pkey);
    return Result<SecretKey>::success(std::move(key));
}

std::string SecretKey::pem() const
{
    if (!key_)
        return {};
    BioPtr bio(BIO_new(BIO_s_mem()));
    if (!bio || PEM_write_bio_PrivateKey(bio.get(), key_->pkey.get(), nullptr, nullptr, 0, nullptr,
                                         nullptr) != 1)
        return {};
    char* data = nullptr;
    const long size = BIO_get_mem_data(bio.get(), &data);
    return size > 0 ? std::string(data, static_cast<std::size_t>(size)) : std::string();
}

PublicKey SecretKey::publicKey() const
{
    PublicKey key{};
    std::size_t size = key.size();
    if (key_)
        EVP_PKEY_get_raw_public_key(key_->pkey.get(), key.data(), &size);
    return key;
}

Result<std::vector<unsigned char>> SecretKey::sign(const unsigned char* data,
                                                   std::size_t size) const
{
    using R = Result<std::vector<unsigned char>>;
    MdCtxPtr ctx(EVP_MD_CTX_new());
    std::vector<unsigned char> signature(kEd25519SignatureBytes);
    std::size_t length = signature.size();
    if (!key_ || !ctx ||
        EVP_DigestSignInit(ctx.get(), nullptr, nullptr, nullptr, key_->pkey.get()) != 1 ||
        EVP_DigestSign(ctx.get(), signature.data(), &length, data, size) != 1)
        return R::failure(ErrorKind::Other, "OpenSSL could not sign");
    signature.resize(length);
    return R::success(std::move(signature));
}

bool verifySignature(const PublicKey& key, const unsigned char* data, std::size_t size,
                     const unsigned char* signature, std::size_t signatureSize)
{
    if (signatureSize != kEd25519SignatureBytes)
        return false;
    PkeyPtr pkey(EVP_PKEY_new_raw_public_key(EVP_PKEY_ED25519, nullptr, key.data(), key.size()));
    MdCtxPtr ctx(EVP_MD_CTX_new());
    return pkey && ctx &&
           EVP_DigestVerifyInit(ctx.get(), nullptr, nullptr, nullptr, pkey.get()) == 1 &&
           EVP_DigestVerify(ctx.get(), signature, signatureSize, data, size) == 1;
}

Sha256::Sha256() : ctx_(EVP_MD_CTX_new())
{
    if (ctx_)
        EVP_DigestInit_ex(static_cast<EVP_MD_CTX*>(ctx_), EVP_sha256(), nullptr);
}

Sha256::~Sha256()
{
    EVP_MD_CTX_free(static_cast<EVP_MD_CTX*>(ctx_));
}

void Sha256::add(const void* data, std::size_t size)
{
    if (ctx_ && size > 0)
        EVP_DigestUpdate(static_cast<EVP_MD_CTX*>(ctx_), data, size);
}

Sha256Digest Sha256::finish()
{
    Sha256Digest digest{};
    unsigned int length = 0;
    if (ctx_)
        EVP_DigestFinal_ex(static_cast<EVP_MD_CTX*>(ctx_), digest.data(), &length);
    return digest;
}

Sha256Digest sha256(const void* data, std::size_t size)
{
    Sha256 hash;
    hash.add(data, size);
    return hash.finish();
}

std::string toHex(const Sha256Digest& digest)
{
    static const char digits[] = "0123456789abcdef";
    std::string out;
    for (unsigned char b : digest) {
        out += digits[b >> 4];
        out += digits[b & 15];
    }
    return out;
}

bool parseSha256Hex(const std::string& hex, Sha256Digest& digest)
{
    if (hex.size() != 2 * digest.size())
        return false;
    auto value = [](char c) {
        if (c >= '0' && c <= '9')
            return c - '0';
        if (c >= 'a' && c <= 'f')
            return c - 'a' + 10;
        if (c >= 'A' && c <= 'F')
            return c - 'A' + 10;
        return -1;
    };
    for (std::size_t i = 0; i < digest.size(); ++i) {
        const int hi = value(hex[2 * i]), lo = value(hex[2 * i + 1]);
        if (hi < 0 || lo < 0)
            return false;
        digest[i] = static_cast<unsigned char>(hi * 16 + lo);
    }
    return true;
}

} // namespace qdt
