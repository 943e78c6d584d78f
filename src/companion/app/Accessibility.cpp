// SPDX-License-Identifier: MIT
#include "Accessibility.h"

#include "Buttons.h"
#include "CompanionWindow.h"
#include "Symbols.h"

#include <QAccessibleWidget>

namespace {

// A footer link: its role, its label as name, and one action that follows it.
class LinkAccessible : public QAccessibleWidget
{
public:
    explicit LinkAccessible(LinkButton *link)
        : QAccessibleWidget(link, QAccessible::Link)
    { }
    QString text(QAccessible::Text t) const override
    {
        return t == QAccessible::Name ? link()->label() : QAccessibleWidget::text(t);
    }
    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.linked = true;
        return s;
    }
    QStringList actionNames() const override { return { pressAction() }; }
    void doAction(const QString &name) override
    {
        if (name == pressAction() && link()->isEnabled())
            link()->click();
    }

private:
    LinkButton *link() const { return static_cast<LinkButton *>(widget()); }
};

// A widget whose role and busy state are all it adds to the generic interface.
class RoleAccessible : public QAccessibleWidget
{
public:
    RoleAccessible(QWidget *widget, QAccessible::Role role, bool busy)
        : QAccessibleWidget(widget, role)
        , m_busy(busy)
    { }
    QAccessible::State state() const override
    {
        QAccessible::State s = QAccessibleWidget::state();
        s.busy = m_busy;
        return s;
    }

private:
    const bool m_busy;
};

QAccessibleInterface *factory(const QString &className, QObject *object)
{
    if (!object || !object->isWidgetType())
        return nullptr;
    auto *widget = static_cast<QWidget *>(object);
    // A plain widget is a "filler" even as a window; as a window, a screen reader hears it come forward.
    if (className == QLatin1String(CompanionWindow::staticMetaObject.className()))
        return new RoleAccessible(widget, QAccessible::Window, false);
    if (className == QLatin1String(LinkButton::staticMetaObject.className()))
        return new LinkAccessible(static_cast<LinkButton *>(widget));
    // Shown only while a run is under way, and turning all the while.
    if (className == QLatin1String(BusyIndicator::staticMetaObject.className()))
        return new RoleAccessible(widget, QAccessible::ProgressBar, true);
    // Orca speaks an object of this role unprompted when it starts showing; Qt 6.4 sends no alert event.
    if (className == QLatin1String("FailureNotice"))
        return new RoleAccessible(widget, QAccessible::Notification, false);
    return nullptr;
}

} // namespace

void Accessibility::install()
{
    QAccessible::installFactory(factory);
}
