#include "resources.h"

#include <QFile>
#include <QIcon>
#include <QJsonArray>
#include <QJsonDocument>
#include <QJsonObject>
#include <QtGlobal>
#include <map>
#include <memory>

namespace afx {
namespace {

// Where the build puts the resource description (see resources/CMakeLists.txt).
constexpr const char* kResourceFile = ":/zel7/zel7.json";

uint32_t ParseStyle(const QJsonValue& value) {
    return value.toString().toUInt(nullptr, 16);
}

struct ResourceTable {
    std::vector<DialogTemplate> dialogs;
    std::map<int, std::wstring> strings;
    std::map<int, std::unique_ptr<QIcon>> icons;
};

std::unique_ptr<ResourceTable> LoadTable() {
    auto table = std::make_unique<ResourceTable>();
    QFile file(kResourceFile);
    if (!file.open(QIODevice::ReadOnly)) {
        qWarning("zel7: the resource description %s is missing", kResourceFile);
        return table;
    }
    const QJsonObject root = QJsonDocument::fromJson(file.readAll()).object();
    for (const QJsonValue& dialogValue : root["dialogs"].toArray()) {
        const QJsonObject dialog = dialogValue.toObject();
        DialogTemplate parsed;
        parsed.id = dialog["id"].toInt();
        parsed.cx = dialog["size"][0].toInt();
        parsed.cy = dialog["size"][1].toInt();
        parsed.style = ParseStyle(dialog["style"]);
        parsed.exStyle = ParseStyle(dialog["exStyle"]);
        parsed.fontFace = dialog["font"]["face"].toString().toStdString();
        parsed.fontPoints = dialog["font"]["points"].toInt();
        parsed.caption = dialog["caption"].toString().toStdString();
        for (const QJsonValue& itemValue : dialog["controls"].toArray()) {
            const QJsonObject item = itemValue.toObject();
            const QJsonArray rect = item["rect"].toArray();
            parsed.items.push_back({item["id"].toInt(), item["class"].toString().toStdString(),
                                    item["text"].toString().toStdString(), item["icon"].toInt(),
                                    rect[0].toInt(), rect[1].toInt(), rect[2].toInt(),
                                    rect[3].toInt(), ParseStyle(item["style"])});
        }
        table->dialogs.push_back(std::move(parsed));
    }
    const QJsonObject strings = root["strings"].toObject();
    for (auto it = strings.begin(); it != strings.end(); ++it) {
        table->strings[it.key().toInt()] = it.value().toString().toStdWString();
    }
    const QJsonObject icons = root["icons"].toObject();
    for (auto it = icons.begin(); it != icons.end(); ++it) {
        auto icon = std::make_unique<QIcon>();
        for (const QJsonValue& image : it.value().toArray()) {
            icon->addFile(QStringLiteral(":/zel7/") + image.toString());
        }
        table->icons[it.key().toInt()] = std::move(icon);
    }
    return table;
}

const ResourceTable& Table() {
    static const std::unique_ptr<ResourceTable> table = LoadTable();
    return *table;
}

}  // namespace

const DialogTemplate* FindDialogTemplate(int id) {
    for (const DialogTemplate& dialog : Table().dialogs) {
        if (dialog.id == id) {
            return &dialog;
        }
    }
    return nullptr;
}

bool LoadStringResource(int id, std::wstring& text) {
    auto found = Table().strings.find(id);
    if (found == Table().strings.end()) {
        text.clear();
        return false;
    }
    text = found->second;
    return true;
}

IconHandle LoadIconResource(int id) {
    auto found = Table().icons.find(id);
    return found == Table().icons.end() ? nullptr : found->second.get();
}

void ReportAssertion(const char* condition, const char* file, int line) {
    qWarning("zel7: debug check failed: %s (%s:%d)", condition, file, line);
}

}  // namespace afx
