#pragma once
// How assistive technology sees a jIPEdit: one group, named as the control
// is named, whose value is the dotted text. Its octet fields keep Qt's own
// line-edit interface and carry names that say which octet they hold.

class QString;
class jIPEdit;

namespace pnv::ipedit {

// Registers the interface with Qt's accessibility; safe to call again.
void installAddressAccessibility();

// "Subnet mask, octet 2 of 4" for the field with index 1 of a control named
// "Subnet mask"; "Octet 2 of 4" for a control without a name.
QString octetAccessibleName(const QString &addressName, int index);
QString octetAccessibleDescription(const QString &addressName, int index);

// Tells assistive technology that the dotted text has changed.
void announceAddressValue(jIPEdit &address);

} // namespace pnv::ipedit
