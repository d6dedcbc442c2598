// The translators' public keys this program trusts. With none, manifests are taken as they come;
// with any, a manifest counts only with a valid signature by one of them (see core/SignedRelease).
#pragma once

#include <vector>

#include <QString>

#include "core/ReleaseCrypto.h"

// The keys in force (none until the program sets them at start).
const std::vector<qdt::PublicKey>& releaseKeys();
void setReleaseKeys(std::vector<qdt::PublicKey> keys);

// "KEY,KEY,...": base64 public keys separated by commas (blanks around them ignored). False, with
// `why`, when one of them is no Ed25519 public key.
bool parseReleaseKeyList(const QString& list, std::vector<qdt::PublicKey>& keys, QString* why);
