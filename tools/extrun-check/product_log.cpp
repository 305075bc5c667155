#include "product_log.h"

#include <windows.h>
#include <shlwapi.h>

#include "app/extension_job.h"
#include "common/handles.h"
#include "common/path_buffer.h"
#include "log/logger.h"
#include "product/product_folders.h"

const wchar_t* ProductName(int productId) {
    for (const ProductText& product : ProductDataFolderNames)
        if (product.id == productId) return product.text;
    return L"";
}

bool SwitchLog(bool on, std::wstring* said) {
    int productId = 0;
    const WString dataFolder = FindProductDataFolder(kProductLevel, &productId);
    if (!productId) {
        *said =
            L"nothing switched: no known product's main program beside the launcher's folder "
            L"(extrun-check --dll=x --entry=x says more)";
        return false;
    }
    const WString logPath = ExtensionLogPath(on ? GetProductDataFolder(kProductLevel) : dataFolder);
    const std::wstring switchFile = LogUtils::SwitchFilePath(logPath.c_str());
    const std::wstring product = ProductName(productId);
    if (on) {
        PathBuffer folder = {};
        CopyBounded(folder, logPath.c_str());
        PathRemoveFileSpecW(folder);
        CreateDirectoryW(folder, nullptr);  // there already, or the file's creation says why
        const UniqueFileHandle file(CreateFileW(switchFile.c_str(), GENERIC_WRITE, 0, nullptr,
                                                OPEN_ALWAYS, FILE_ATTRIBUTE_NORMAL, nullptr));
        if (!file) {
            *said = L"cannot create " + switchFile + L" (Windows error " +
                    std::to_wstring(GetLastError()) + L")";
            return false;
        }
        *said = L"on: " + switchFile + L" is there; " + product + L"'s launcher logs to " +
                logPath.c_str();
        return true;
    }
    const DWORD error = DeleteFileW(switchFile.c_str()) ? ERROR_SUCCESS : GetLastError();
    if (error != ERROR_SUCCESS && error != ERROR_FILE_NOT_FOUND && error != ERROR_PATH_NOT_FOUND) {
        *said =
            L"cannot remove " + switchFile + L" (Windows error " + std::to_wstring(error) + L")";
        return false;
    }
    *said = L"off: no " + switchFile + L"; " + product + L"'s launcher logs nothing";
    return true;
}
