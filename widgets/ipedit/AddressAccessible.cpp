#include "AddressAccessible.h"

#include "jIPEdit.h"

#include <QAccessible>
#include <QAccessibleWidget>

namespace pnv::ipedit {

namespace {

class AddressInterface final : public QAccessibleWidget
{
public:
    explicit AddressInterface(jIPEdit *address) : QAccessibleWidget(address, QAccessible::Grouping) {}

    QString text(QAccessible::Text kind) const override
    {
        if (kind == QAccessible::Value)
            return static_cast<const jIPEdit *>(widget())->Text();
        return QAccessibleWidget::text(kind);
    }
};

QAccessibleInterface *addressInterfaceFactory(const QString &className, QObject *object)
{
    if (className == QLatin1String("jIPEdit") && object && object->isWidgetType())
        return new AddressInterface(static_cast<jIPEdit *>(object));
    return nullptr;
}

constexpr int kOctets = 4;

} // namespace

void installAddressAccessibility()
{
    static const bool installed = (QAccessible::installFactory(addressInterfaceFactory), true);
    Q_UNUSED(installed)
}

QString octetAccessibleName(const QString &addressName, int index)
{
    if (addressName.isEmpty())
        return QStringLiteral("Octet %1 of %2").arg(index + 1).arg(kOctets);
    return QStringLiteral("%1, octet %2 of %3").arg(addressName).arg(index + 1).arg(kOctets);
}

QString octetAccessibleDescription(const QString &addressName, int index)
{
    const QString which = QStringLiteral("Octet %1 of %2 of the IPv4 address").arg(index + 1).arg(kOctets);
    const QString of = addressName.isEmpty() ? which : QStringLiteral("%1 %2").arg(which, addressName);
    return of + QStringLiteral(", a number from 0 to 255");
}

void announceAddressValue(jIPEdit &address)
{
    if (!QAccessible::isActive())
        return;
    QAccessibleValueChangeEvent event(&address, address.Text());
    QAccessible::updateAccessibility(&event);
}

} // namespace pnv::ipedit
