#include "app/SingleInstance.h"

#include <QCoreApplication>

#include <gtest/gtest.h>

namespace {

class FixedResultMutex : public INamedMutex {
public:
    explicit FixedResultMutex(uint32_t result) : m_result(result) {}
    uint32_t Create(const CAtlString&) override { return m_result; }

private:
    uint32_t m_result;
};

TEST(SingleInstance, OnlyAlreadyExistsAndAccessDeniedRefuseTheRun) {
    const std::pair<uint32_t, bool> cases[] = {
        {0, true}, {183, false}, {5, false}, {31, true}, {2, true}, {87, true},
    };
    for (const auto& [result, first] : cases) {
        CSingleInstance instance(QStringLiteral("Global\\test"), u'q',
                                 std::make_unique<FixedResultMutex>(result));
        EXPECT_EQ(instance.IsFirstInstance(), first) << result;
        EXPECT_EQ(instance.LastError(), result);
    }
}

TEST(SingleInstance, RealLockIsHeldUntilItsOwnerGoesAway) {
    const QString name = QStringLiteral("Global\\/opt/test/orvex-%1").arg(qApp->applicationPid());
    {
        CSingleInstance first(name, u'q');
        EXPECT_TRUE(first.IsFirstInstance());
        CSingleInstance second(name, u'q');
        EXPECT_FALSE(second.IsFirstInstance());
        EXPECT_EQ(second.LastError(), 183u);
        // Another suffix or path is another lock.
        CSingleInstance otherSuffix(name, u'r');
        EXPECT_TRUE(otherSuffix.IsFirstInstance());
    }
    CSingleInstance again(name, u'q');
    EXPECT_TRUE(again.IsFirstInstance());
}

} // namespace
