#include "file_dialog.h"

#include <QFileDialog>
#include <QStringList>
#include <QWidget>

namespace afx {
namespace {

// "Description (*.x;*.y)|pattern|...||" becomes one name filter per pair. The toolkit
// takes the patterns from the parentheses of each description, separated by spaces
// where the classic syntax has semicolons, so a pair whose pattern is empty still
// filters by what its description shows.
QStringList NameFilters(const std::wstring& filter) {
    const QStringList parts = QString::fromStdWString(filter).split(QLatin1Char('|'));
    QStringList names;
    for (qsizetype i = 0; i + 1 < parts.size(); i += 2) {
        if (parts[i].isEmpty()) {
            break;  // the "||" terminator
        }
        QString description = parts[i];
        QString pattern = parts[i + 1].trimmed();
        const bool describesPattern = description.contains(QLatin1Char('('));
        names << (describesPattern || pattern.isEmpty()
                      ? description.replace(QLatin1Char(';'), QLatin1Char(' '))
                      : QStringLiteral("%1 (%2)").arg(description, pattern.replace(';', ' ')));
    }
    return names;
}

class QtFileChooser : public zel7::FileChooser {
public:
    using FileChooser::FileChooser;

    int DoModal() override {
        const zel7::FileChooserRecord& record = Record();
        QFileDialog dialog(reinterpret_cast<QWidget*>(record.hwndOwner),
                           QString::fromStdWString(record.lpstrTitle));
        dialog.setObjectName(QStringLiteral("fileChooser"));
        // The modern chooser is the desktop's own where it offers one; otherwise Qt's.
        dialog.setOption(QFileDialog::DontUseNativeDialog, !ModernStyle());
        const QStringList filters = NameFilters(record.lpstrFilter);
        dialog.setNameFilters(filters);
        if (record.nFilterIndex >= 1 && record.nFilterIndex <= unsigned(filters.size())) {
            dialog.selectNameFilter(filters[int(record.nFilterIndex) - 1]);
        }
        if (Mode() == zel7::FileChooserMode::Open) {
            dialog.setAcceptMode(QFileDialog::AcceptOpen);
            dialog.setFileMode(record.Flags & zel7::OFN_FILEMUSTEXIST ? QFileDialog::ExistingFile
                                                                      : QFileDialog::AnyFile);
        } else {
            // Any path is accepted as typed: no extension is added and an existing
            // file is replaced without a question unless the record asks for one.
            dialog.setAcceptMode(QFileDialog::AcceptSave);
            dialog.setFileMode(QFileDialog::AnyFile);
            dialog.setOption(QFileDialog::DontConfirmOverwrite,
                             !(record.Flags & zel7::OFN_OVERWRITEPROMPT));
        }
        dialog.setDefaultSuffix(QString::fromStdWString(record.lpstrDefExt));
        if (!record.lpstrFile.empty()) {
            dialog.selectFile(QString::fromStdWString(record.lpstrFile));
        }
        if (dialog.exec() != QDialog::Accepted || dialog.selectedFiles().isEmpty()) {
            return zel7::IDCANCEL;
        }
        path_ = dialog.selectedFiles().constFirst().toStdWString();
        return zel7::IDOK;
    }

    std::wstring GetPathName() const override { return path_; }

private:
    std::wstring path_;
};

FileChooserFactory& CurrentFactory() {
    static FileChooserFactory factory;
    return factory;
}

}  // namespace

FileChooserFactory SetFileChooserFactory(FileChooserFactory factory) {
    return std::exchange(CurrentFactory(), std::move(factory));
}

std::unique_ptr<zel7::FileChooser> CreateFileChooser(const zel7::FileChooserRequest& request) {
    if (CurrentFactory()) {
        return CurrentFactory()(request);
    }
    return std::make_unique<QtFileChooser>(request);
}

}  // namespace afx
