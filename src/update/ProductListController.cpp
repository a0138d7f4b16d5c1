#include "update/ProductListController.h"

bool CProductListController::LoadProductList() {
    return false;
}

bool CProductListController::RefreshProductList() {
    return false;
}

void CProductListController::FindInstalledAll() {}

void CProductListController::CheckAll() {
    m_checkSucceeded = false;
    m_hasFindings = false;
}
