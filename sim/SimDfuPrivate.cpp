// The bootloader's private requests: it stores an image's 60-byte metadata header, judges it for
// a target, hands out unlock tokens with a fresh challenge and checks the unlock request as
// HMAC-SHA256 of that challenge under the generation-0 key.
#include <cstring>

#include "device/QXBootloaderUnlockKey.h"
#include "device/QXSha256.h"
#include "sim/SimDfuDevice.h"

namespace plendrik::sim {

namespace {

uint32_t Read32(const std::vector<uint8_t>& data, size_t offset) {
  return static_cast<uint32_t>(data[offset]) | static_cast<uint32_t>(data[offset + 1]) << 8 |
         static_cast<uint32_t>(data[offset + 2]) << 16 | static_cast<uint32_t>(data[offset + 3]) << 24;
}

uint16_t Read16(const std::vector<uint8_t>& data, size_t offset) {
  return static_cast<uint16_t>(data[offset] | data[offset + 1] << 8);
}

}  // namespace

SimDfuDevice::Outcome SimDfuDevice::PrivateRequest(SimDfuRequestKind kind, const SimControlRequest& request) {
  const SimSetupPacket& setup = request.Setup();
  Outcome outcome;
  switch (kind) {
    case SimDfuRequestKind::StoreHeader:
      if (setup.wLength != dfu::kHeaderLength || request.OutData().size() != dfu::kHeaderLength) {
        return Fail(dfu::errSTALLEDPKT);
      }
      mHeader = request.OutData();
      outcome.reply.kind = Reply::Kind::Ack;
      return outcome;
    case SimDfuRequestKind::CheckCompatibility: {
      const uint32_t code = JudgeHeader(setup.wValue);
      outcome.reply = {Reply::Kind::Data,
                       {static_cast<uint8_t>(code & 0xFF), static_cast<uint8_t>((code >> 8) & 0xFF),
                        static_cast<uint8_t>((code >> 16) & 0xFF), static_cast<uint8_t>(code >> 24)},
                       std::nullopt};
      return outcome;
    }
    case SimDfuRequestKind::GetUnlockToken:
      if (setup.wValue >= mConfig.targets.size()) {
        return Fail(dfu::errTARGET);
      }
      outcome.reply = {Reply::Kind::Data, NewToken(static_cast<uint8_t>(setup.wValue)), std::nullopt};
      return outcome;
    case SimDfuRequestKind::UnlockTarget:
      if (setup.wLength != dfu::kUnlockRequestLength || request.OutData().size() != dfu::kUnlockRequestLength ||
          !CheckUnlock(request.OutData())) {
        return Fail(dfu::errSTALLEDPKT);
      }
      outcome.reply.kind = Reply::Kind::Ack;
      return outcome;
    default:
      return Fail(dfu::errSTALLEDPKT);
  }
}

uint32_t SimDfuDevice::JudgeHeader(uint16_t target) const {
  if (target >= mConfig.targets.size()) {
    return dfu::kCompatNoSuchTarget;
  }
  const SimDfuTargetConfig& accepts = mConfig.targets[target];
  if (accepts.compatibilityAnswer) {
    return *accepts.compatibilityAnswer;
  }
  if (mHeader.size() != dfu::kHeaderLength) {
    return dfu::kCompatNoHeader;
  }
  if (Read16(mHeader, 0) < dfu::kHeaderLength || Read16(mHeader, 2) < 1 ||
      Read32(mHeader, 4) != dfu::kHeaderBlockMarker ||
      std::memcmp(mHeader.data() + 8, dfu::kHeaderMagic, sizeof(dfu::kHeaderMagic)) != 0) {
    return dfu::kCompatBadHeader;
  }
  if (accepts.acceptedTargetId && Read32(mHeader, dfu::kHeaderTargetIdOffset) != *accepts.acceptedTargetId) {
    return dfu::kCompatWrongTarget;
  }
  for (size_t i = 0; i < accepts.minimumVersion.size(); ++i) {
    const uint16_t component = Read16(mHeader, dfu::kHeaderVersionOffset + 2 * i);
    if (component != accepts.minimumVersion[i]) {
      return component < accepts.minimumVersion[i] ? dfu::kCompatTooOld : dfu::kCompatible;
    }
  }
  return dfu::kCompatible;
}

std::vector<uint8_t> SimDfuDevice::NewToken(uint8_t target) {
  std::vector<uint8_t> token(dfu::kTokenLength, 0);
  token[0] = static_cast<uint8_t>(dfu::kTokenLength);
  token[1] = kQXUnlockKeyGeneration0;
  token[2] = target;  // in the part the host does not read
  std::array<uint8_t, dfu::kChallengeLength> challenge{};
  for (size_t i = 0; i < challenge.size(); i += 8) {
    const uint64_t word = mRandom();
    for (size_t j = 0; j < 8; ++j) {
      challenge[i + j] = static_cast<uint8_t>(word >> (8 * j));
    }
  }
  std::memcpy(token.data() + dfu::kChallengeOffset, challenge.data(), challenge.size());
  // Only the latest token counts.
  mChallenge = std::make_pair(target, challenge);
  return token;
}

bool SimDfuDevice::CheckUnlock(const std::vector<uint8_t>& mac) {
  if (!mChallenge) {
    return false;
  }
  const auto [target, challenge] = *mChallenge;
  // One attempt per token: a wrong answer needs a new token.
  mChallenge.reset();
  uint8_t key[kQXUnlockKeySize];
  QXAssembleUnlockKeyGeneration0(key);
  QXHmacSha256 hmac;
  int err = hmac.Reset(key, sizeof(key));
  QXHmacSha256::Wipe(key, sizeof(key));
  if (err == kQXShaSuccess) {
    err = hmac.Input(challenge.data(), challenge.size());
  }
  uint8_t expected[kQXSha256HashSize];
  if (err == kQXShaSuccess) {
    err = hmac.Result(expected);
  }
  if (err != kQXShaSuccess) {
    return false;
  }
  uint8_t difference = 0;
  for (size_t i = 0; i < sizeof(expected); ++i) {
    difference |= static_cast<uint8_t>(expected[i] ^ mac[i]);
  }
  QXHmacSha256::Wipe(expected, sizeof(expected));
  if (difference != 0) {
    return false;
  }
  mUnlocked.insert(target);
  return true;
}

}  // namespace plendrik::sim
