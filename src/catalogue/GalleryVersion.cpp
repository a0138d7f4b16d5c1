#include "catalogue/GalleryVersion.h"

#include "catalogue/XmlDocument.h"

#include <QCoreApplication>

bool GalleryVersion::Load(const tinyxml2::XMLElement* element) {
    m_name = Utf8Attribute(element, "Name");
    m_guid = Attribute(element, "GUID");
    m_defaultUrl = Attribute(element, "DefaultUrl");
    return !m_name.isEmpty() && !m_guid.isEmpty() && !m_defaultUrl.isEmpty();
}

QStringList GalleryVersion::GetActionLabels(unsigned) {
    return {QCoreApplication::translate("GalleryVersion", "Current"),
            QCoreApplication::translate("GalleryVersion", "Update")};
}
