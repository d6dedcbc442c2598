// The trusted public keys of signed releases.
#include "distribution/ReleaseKeys.h"

#include <QStringList>

namespace {

std::vector<qdt::PublicKey>& keysInForce()
{
    static std::vector<qdt::PublicKey> keys;
    return keys;
}

} // namespace

const std::vector<qdt::PublicKey>& releaseKeys()
{
    return keysInForce();
}

void setReleaseKeys(std::vector<qdt::PublicKey> keys)
{
    keysInForce() = std::move(keys);
}

bool parseReleaseKeyList(const QString& list, std::vector<qdt::PublicKey>& keys, QString* why)
{
    keys.clear();
    for (const QString& part : list.split(QLatin1Char(','))) {
        const QString text = part.trimmed();
        if (text.isEmpty())
            continue;
        qdt::PublicKey key{};
        std::string reason;
        if (!qdt::parsePublicKey(text.toStdString(), key, reason)) {
            if (why)
                *why = QStringLiteral("\"%1\" is no Ed25519 public key: %2")
                           .arg(text, QString::fromStdString(reason));
            keys.clear();
            return false;
        }
        keys.push_back(key);
    }
    return true;
}
