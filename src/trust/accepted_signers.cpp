#include "trust/accepted_signers.h"

#include <array>
#include <string>
#include <utility>

#include "common/path_buffer.h"
#include "common/wstring.h"
#include "trust/publisher_check.h"

namespace {

constexpr const wchar_t* kAcceptedSignerTexts[kAcceptedSignerCount] = {
    L"北京泰萨利软件技术有限公司",
    L"珠海泰萨利办公软件有限公司",
    L"广州凡蒂罗网络技术有限公司",
    L"凡蒂罗互动娱乐有限公司",
    L"成都凯尔莫拉信息技术有限公司",
    L"凯尔莫拉科技有限公司",
    L"武汉萨文信息科技有限公司",
    L"托布里斯克软件有限公司",
    L"莫尔万数字技术有限公司",
    L"昆洛网络科技有限公司",
    L"里斯塔维尔软件有限公司",
    L"法斯科恩信息技术有限公司",
    L"德雷利克科技有限公司",
    L"布伦霍尔德网络有限公司",
    L"辛德鲁软件有限公司",
    L"哈弗林数码科技有限公司",
    L"加尔维克数字办公有限公司",
    L"奥斯卡鲁软件有限公司",
    L"泽姆普罗科技公司",
    L"Tessaly Software Technology Co., Ltd.",
    L"Vantiro Interactive Entertainment Co., Ltd.",
    L"Kelmora Information Technology Co., Limited",
    L"Galwick Digital Office Systems Co., Ltd.",
};

template <size_t Index>
struct SignerNameEntry {
    static constexpr size_t kUnits =
        std::char_traits<wchar_t>::length(kAcceptedSignerTexts[Index]) + 1;
    wchar_t text[kUnits];
    SignerNameEntry() { CopyBounded(text, kAcceptedSignerTexts[Index]); }
};

template <size_t Index>
const wchar_t* AcceptedSignerName() {
    // A function-local static is initialised exactly once, and callers that
    // arrive meanwhile wait for it.
    static const SignerNameEntry<Index> entry;
    return entry.text;
}

template <size_t... Index>
constexpr auto MakeAccessors(std::index_sequence<Index...>) {
    return std::array<SignerNameAccessor, sizeof...(Index)>{{&AcceptedSignerName<Index>...}};
}

}  // namespace

const std::array<SignerNameAccessor, kAcceptedSignerCount> AcceptedSignerNames =
    MakeAccessors(std::make_index_sequence<kAcceptedSignerCount>{});

int IsAcceptedSignerName(const wchar_t* name) {
    const WString candidate(name);
    for (SignerNameAccessor accessor : AcceptedSignerNames) {
        const wchar_t* entry = accessor();
        const size_t length = std::char_traits<wchar_t>::length(entry);
        if (length == candidate.Length() &&
            std::char_traits<wchar_t>::compare(entry, candidate.c_str(), length) == 0)
            return 1;
    }
    return 0;
}
