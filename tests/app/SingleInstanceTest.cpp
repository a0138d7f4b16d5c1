#include "app/SingleInstance.h"

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
    }
}

} // namespace
