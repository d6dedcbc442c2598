// Lets tests read and set the window's private state.
#pragma once

#include "app/QuenDaraTranslation.h"

struct WindowAccess
{
    static Ui::QuenDaraTranslationClass& ui(QuenDaraTranslation& w) { return w.ui; }
    static QString& gamePath(QuenDaraTranslation& w) { return w.gamePath; }
    static nlohmann::json& manifest(QuenDaraTranslation& w) { return w.manifest; }
    static std::array<quint64, 3>& patchHashes(QuenDaraTranslation& w) { return w.patchHashes; }
    static Languages& currentLanguage(QuenDaraTranslation& w) { return w.currentLanguage; }
    static FileDownloader*& manifestDownloader(QuenDaraTranslation& w)
    {
        return w.manifestDownloader;
    }
    static FileDownloader*& patchDownloader(QuenDaraTranslation& w) { return w.patchDownloader; }
    // Browse's and Find game's common step, without the dialog.
    static bool takeGameFolder(QuenDaraTranslation& w, const QString& chosen)
    {
        return w.takeGameFolder(chosen, QString());
    }
    static bool engineRunning(QuenDaraTranslation& w) { return w.engineRunning; }
};
