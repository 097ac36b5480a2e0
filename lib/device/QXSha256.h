// SHA-256 (FIPS 180-4) and HMAC-SHA256 (RFC 2104) over it. Header-only and free of logging, so
// that the library's unlock computation and the simulated bootloader that checks it share one
// implementation. Errors are small codes in the style of the reference implementations:
// 0 success, 1 null argument, 2 input too long, 3 called after the result was taken.
#pragma once

#include <cstddef>
#include <cstdint>
#include <cstring>

namespace plendrik {

enum QXShaResult : int {
  kQXShaSuccess = 0,
  kQXShaNull = 1,
  kQXShaInputTooLong = 2,
  kQXShaStateError = 3,
};

constexpr size_t kQXSha256HashSize = 32;
constexpr size_t kQXSha256BlockSize = 64;

class QXSha256 {
 public:
  QXSha256() { Reset(); }
  ~QXSha256() { Wipe(); }
  QXSha256(const QXSha256&) = delete;
  QXSha256& operator=(const QXSha256&) = delete;

  void Reset() {
    static constexpr uint32_t kInitial[8] = {0x6a09e667, 0xbb67ae85, 0x3c6ef372, 0xa54ff53a,
                                             0x510e527f, 0x9b05688c, 0x1f83d9ab, 0x5be0cd19};
    std::memcpy(mState, kInitial, sizeof(mState));
    mLengthBits = 0;
    mBlockUsed = 0;
    mFinished = false;
    mCorrupted = kQXShaSuccess;
  }

  int Input(const void* data, size_t byteCount) {
    if (byteCount == 0) {
      return kQXShaSuccess;
    }
    if (data == nullptr) {
      return kQXShaNull;
    }
    if (mFinished) {
      return mCorrupted = kQXShaStateError;
    }
    if (mCorrupted != kQXShaSuccess) {
      return mCorrupted;
    }
    // The message length is counted in bits in 64 bits: 2^61 bytes at most.
    const uint64_t bits = static_cast<uint64_t>(byteCount) << 3;
    if ((static_cast<uint64_t>(byteCount) >> 61) != 0 || mLengthBits + bits < mLengthBits) {
      return mCorrupted = kQXShaInputTooLong;
    }
    mLengthBits += bits;
    const auto* p = static_cast<const uint8_t*>(data);
    while (byteCount > 0) {
      const size_t take = kQXSha256BlockSize - mBlockUsed < byteCount ? kQXSha256BlockSize - mBlockUsed : byteCount;
      std::memcpy(mBlock + mBlockUsed, p, take);
      mBlockUsed += take;
      p += take;
      byteCount -= take;
      if (mBlockUsed == kQXSha256BlockSize) {
        Compress(mBlock);
        mBlockUsed = 0;
      }
    }
    return kQXShaSuccess;
  }

  int Result(uint8_t (&digest)[kQXSha256HashSize]) {
    if (mCorrupted != kQXShaSuccess) {
      return mCorrupted;
    }
    if (!mFinished) {
      const uint64_t lengthBits = mLengthBits;
      mBlock[mBlockUsed++] = 0x80;
      if (mBlockUsed > kQXSha256BlockSize - 8) {
        std::memset(mBlock + mBlockUsed, 0, kQXSha256BlockSize - mBlockUsed);
        Compress(mBlock);
        mBlockUsed = 0;
      }
      std::memset(mBlock + mBlockUsed, 0, kQXSha256BlockSize - 8 - mBlockUsed);
      for (int i = 0; i < 8; ++i) {
        mBlock[kQXSha256BlockSize - 1 - i] = static_cast<uint8_t>(lengthBits >> (8 * i));
      }
      Compress(mBlock);
      mBlockUsed = 0;
      mFinished = true;
    }
    for (int i = 0; i < 8; ++i) {
      digest[4 * i] = static_cast<uint8_t>(mState[i] >> 24);
      digest[4 * i + 1] = static_cast<uint8_t>(mState[i] >> 16);
      digest[4 * i + 2] = static_cast<uint8_t>(mState[i] >> 8);
      digest[4 * i + 3] = static_cast<uint8_t>(mState[i]);
    }
    return kQXShaSuccess;
  }

  // Overwrites the state so that no key-derived data stays in memory.
  void Wipe() {
    volatile uint8_t* p = reinterpret_cast<volatile uint8_t*>(this);
    for (size_t i = 0; i < sizeof(*this); ++i) {
      p[i] = 0;
    }
  }

 private:
  static uint32_t Rotr(uint32_t x, int n) { return (x >> n) | (x << (32 - n)); }

 public:
  // One compression of a 64-byte block into state, with w as the message schedule. The
  // schedule starts with the block itself (for an HMAC: the key XOR ipad or opad), so it is
  // wiped before the call returns.
  static void CompressBlock(uint32_t (&state)[8], const uint8_t* block, uint32_t (&w)[64]) {
    static constexpr uint32_t kK[64] = {
        0x428a2f98, 0x71374491, 0xb5c0fbcf, 0xe9b5dba5, 0x3956c25b, 0x59f111f1, 0x923f82a4, 0xab1c5ed5,
        0xd807aa98, 0x12835b01, 0x243185be, 0x550c7dc3, 0x72be5d74, 0x80deb1fe, 0x9bdc06a7, 0xc19bf174,
        0xe49b69c1, 0xefbe4786, 0x0fc19dc6, 0x240ca1cc, 0x2de92c6f, 0x4a7484aa, 0x5cb0a9dc, 0x76f988da,
        0x983e5152, 0xa831c66d, 0xb00327c8, 0xbf597fc7, 0xc6e00bf3, 0xd5a79147, 0x06ca6351, 0x14292967,
        0x27b70a85, 0x2e1b2138, 0x4d2c6dfc, 0x53380d13, 0x650a7354, 0x766a0abb, 0x81c2c92e, 0x92722c85,
        0xa2bfe8a1, 0xa81a664b, 0xc24b8b70, 0xc76c51a3, 0xd192e819, 0xd6990624, 0xf40e3585, 0x106aa070,
        0x19a4c116, 0x1e376c08, 0x2748774c, 0x34b0bcb5, 0x391c0cb3, 0x4ed8aa4a, 0x5b9cca4f, 0x682e6ff3,
        0x748f82ee, 0x78a5636f, 0x84c87814, 0x8cc70208, 0x90befffa, 0xa4506ceb, 0xbef9a3f7, 0xc67178f2};
    for (int t = 0; t < 16; ++t) {
      w[t] = (static_cast<uint32_t>(block[4 * t]) << 24) | (static_cast<uint32_t>(block[4 * t + 1]) << 16) |
             (static_cast<uint32_t>(block[4 * t + 2]) << 8) | static_cast<uint32_t>(block[4 * t + 3]);
    }
    for (int t = 16; t < 64; ++t) {
      const uint32_t s0 = Rotr(w[t - 15], 7) ^ Rotr(w[t - 15], 18) ^ (w[t - 15] >> 3);
      const uint32_t s1 = Rotr(w[t - 2], 17) ^ Rotr(w[t - 2], 19) ^ (w[t - 2] >> 10);
      w[t] = w[t - 16] + s0 + w[t - 7] + s1;
    }
    uint32_t a = state[0], b = state[1], c = state[2], d = state[3];
    uint32_t e = state[4], f = state[5], g = state[6], h = state[7];
    for (int t = 0; t < 64; ++t) {
      const uint32_t t1 = h + (Rotr(e, 6) ^ Rotr(e, 11) ^ Rotr(e, 25)) + ((e & f) ^ (~e & g)) + kK[t] + w[t];
      const uint32_t t2 = (Rotr(a, 2) ^ Rotr(a, 13) ^ Rotr(a, 22)) + ((a & b) ^ (a & c) ^ (b & c));
      h = g;
      g = f;
      f = e;
      e = d + t1;
      d = c;
      c = b;
      b = a;
      a = t1 + t2;
    }
    state[0] += a;
    state[1] += b;
    state[2] += c;
    state[3] += d;
    state[4] += e;
    state[5] += f;
    state[6] += g;
    state[7] += h;
    volatile uint32_t* p = w;
    for (int t = 0; t < 64; ++t) {
      p[t] = 0;
    }
  }

 private:
  void Compress(const uint8_t* block) {
    uint32_t w[64];
    CompressBlock(mState, block, w);
  }

  uint32_t mState[8];
  uint64_t mLengthBits;
  uint8_t mBlock[kQXSha256BlockSize];
  size_t mBlockUsed;
  bool mFinished;
  int mCorrupted;
};

// HMAC-SHA256: H((K ^ opad) || H((K ^ ipad) || message)); keys longer than a block are hashed.
class QXHmacSha256 {
 public:
  QXHmacSha256() = default;
  ~QXHmacSha256() { WipeKeyPad(); }
  QXHmacSha256(const QXHmacSha256&) = delete;
  QXHmacSha256& operator=(const QXHmacSha256&) = delete;

  int Reset(const uint8_t* key, size_t keyLength) {
    if (key == nullptr && keyLength != 0) {
      return kQXShaNull;
    }
    WipeKeyPad();
    if (keyLength > kQXSha256BlockSize) {
      QXSha256 keyHash;
      uint8_t digest[kQXSha256HashSize];
      int err = keyHash.Input(key, keyLength);
      if (err == kQXShaSuccess) {
        err = keyHash.Result(digest);
      }
      if (err != kQXShaSuccess) {
        return err;
      }
      std::memcpy(mKeyPad, digest, sizeof(digest));
      Wipe(digest, sizeof(digest));
    } else if (keyLength != 0) {
      std::memcpy(mKeyPad, key, keyLength);
    }
    uint8_t inner[kQXSha256BlockSize];
    for (size_t i = 0; i < kQXSha256BlockSize; ++i) {
      inner[i] = static_cast<uint8_t>(mKeyPad[i] ^ 0x36);
    }
    mInner.Reset();
    const int err = mInner.Input(inner, sizeof(inner));
    Wipe(inner, sizeof(inner));
    mKeyed = err == kQXShaSuccess;
    return err;
  }

  int Input(const void* data, size_t byteCount) {
    if (!mKeyed) {
      return kQXShaStateError;
    }
    return mInner.Input(data, byteCount);
  }

  int Result(uint8_t (&mac)[kQXSha256HashSize]) {
    if (!mKeyed) {
      return kQXShaStateError;
    }
    uint8_t innerDigest[kQXSha256HashSize];
    int err = mInner.Result(innerDigest);
    if (err != kQXShaSuccess) {
      return err;
    }
    uint8_t outer[kQXSha256BlockSize];
    for (size_t i = 0; i < kQXSha256BlockSize; ++i) {
      outer[i] = static_cast<uint8_t>(mKeyPad[i] ^ 0x5c);
    }
    QXSha256 outerHash;
    err = outerHash.Input(outer, sizeof(outer));
    if (err == kQXShaSuccess) {
      err = outerHash.Input(innerDigest, sizeof(innerDigest));
    }
    if (err == kQXShaSuccess) {
      err = outerHash.Result(mac);
    }
    Wipe(outer, sizeof(outer));
    Wipe(innerDigest, sizeof(innerDigest));
    return err;
  }

  static void Wipe(void* data, size_t size) {
    volatile uint8_t* p = static_cast<volatile uint8_t*>(data);
    for (size_t i = 0; i < size; ++i) {
      p[i] = 0;
    }
  }

 private:
  void WipeKeyPad() {
    Wipe(mKeyPad, sizeof(mKeyPad));
    mInner.Wipe();
    mInner.Reset();
    mKeyed = false;
  }

  uint8_t mKeyPad[kQXSha256BlockSize] = {};
  QXSha256 mInner;
  bool mKeyed = false;
};

}  // namespace plendrik
