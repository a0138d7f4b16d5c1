#include "catalogue/Notification.h"

#include "catalogue/XmlDocument.h"

#include <QCoreApplication>

bool Notification::Load(const tinyxml2::XMLElement* element) {
    m_name = Utf8Attribute(element, "Name");
    // "BaseXML" here, unlike the "BaseXml" of software products.
    m_baseXml = Attribute(element, "BaseXML");
    return !m_baseXml.isEmpty();
}

QStringList Notification::GetActionLabels(unsigned) {
    return {QCoreApplication::translate("Notification", "More..."),
            QCoreApplication::translate("Notification", "More...")};
}
