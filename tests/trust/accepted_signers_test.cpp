#include <gtest/gtest.h>

#include <string>

#include "test_support.h"
#include "trust/accepted_signers.h"
#include "trust/publisher_check.h"

namespace {

using testsupport::FromUtf8;

// The publishers as the product family lists them, in UTF-8.
const char* const kPublishers[] = {
    "北京泰萨利软件技术有限公司",
    "珠海泰萨利办公软件有限公司",
    "广州凡蒂罗网络技术有限公司",
    "凡蒂罗互动娱乐有限公司",
    "成都凯尔莫拉信息技术有限公司",
    "凯尔莫拉科技有限公司",
    "武汉萨文信息科技有限公司",
    "托布里斯克软件有限公司",
    "莫尔万数字技术有限公司",
    "昆洛网络科技有限公司",
    "里斯塔维尔软件有限公司",
    "法斯科恩信息技术有限公司",
    "德雷利克科技有限公司",
    "布伦霍尔德网络有限公司",
    "辛德鲁软件有限公司",
    "哈弗林数码科技有限公司",
    "加尔维克数字办公有限公司",
    "奥斯卡鲁软件有限公司",
    "泽姆普罗科技公司",
    "Tessaly Software Technology Co., Ltd.",
    "Vantiro Interactive Entertainment Co., Ltd.",
    "Kelmora Information Technology Co., Limited",
    "Galwick Digital Office Systems Co., Ltd.",
};

TEST(AcceptedSignerNames, HoldsThePublishersInTableOrder) {
    ASSERT_EQ(std::size(kPublishers), AcceptedSignerNames.size());
    for (size_t i = 0; i < AcceptedSignerNames.size(); ++i)
        EXPECT_EQ(FromUtf8(kPublishers[i]), AcceptedSignerNames[i]()) << "entry " << i;
}

TEST(IsAcceptedSignerName, AcceptsEveryPublisher) {
    for (const char* publisher : kPublishers)
        EXPECT_EQ(1, IsAcceptedSignerName(FromUtf8(publisher).c_str())) << publisher;
}

TEST(IsAcceptedSignerName, RefusesAnyDifferenceInCaseBlanksOrLength) {
    const wchar_t* const refused[] = {
        L"Tessaly Software Technology Co., LTD.",
        L"tessaly software technology co., ltd.",
        L"TESSALY SOFTWARE TECHNOLOGY CO., LTD.",
        L"Tessaly Software Technology Co., Ltd. ",
        L" Tessaly Software Technology Co., Ltd.",
        L"Tessaly  Software Technology Co., Ltd.",
        L"Tessaly Software Technology Co., Ltd",
        L"Tessaly Software Technology Co.,Ltd.",
        L"Tessaly Software Technology Co\uFF0C Ltd.",  // full-width comma
        L"Tessaly Software Technology",
        L"Tessaly Software Technology Co., Ltd.x",
        L"Kelmora Information Technology Co., Ltd.",
        L"北京泰萨利软件技术有限公司 ",
        L"北京泰萨利软件技术有限公",
        L"泰萨利软件技术有限公司",
        L"北京泰萨利软件技术有限公司北京泰萨利软件技术有限公司",
        L"",
    };
    for (const wchar_t* name : refused)
        EXPECT_EQ(0, IsAcceptedSignerName(name)) << testsupport::ToUtf8(name);
    EXPECT_EQ(0, IsAcceptedSignerName(nullptr));
}

TEST(IsAcceptedSignerName, ReadsTheNameUpToItsFirstZeroUnit) {
    const wchar_t withTail[] = L"Galwick Digital Office Systems Co., Ltd.\0 and more";
    EXPECT_EQ(1, IsAcceptedSignerName(withTail));
}

}  // namespace
