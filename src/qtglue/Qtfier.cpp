#include "qtglue/Qtfier.h"

Qtfier::Qtfier(std::function<void()> function) : m_function(std::move(function)) {}

void Qtfier::Slot() {
    if (m_function)
        m_function();
}
