#include "accessible_main.h"

#include "main.h"

#include <QAccessibleWidget>

namespace miruteka {

namespace {

class AccessibleMain : public QAccessibleWidget {
public:
    explicit AccessibleMain(main* window)
        : QAccessibleWidget(window, QAccessible::Window)
    {
    }
    int childCount() const override { return int(offered().size()); }
    QAccessibleInterface* child(int index) const override { return offered().value(index); }
    int indexOfChild(const QAccessibleInterface* child) const override
    {
        return int(offered().indexOf(const_cast<QAccessibleInterface*>(child)));
    }

private:
    QList<QAccessibleInterface*> offered() const
    {
        const QLineEdit& hidden = static_cast<const main*>(object())->Text1;
        QList<QAccessibleInterface*> children;
        for (int i = 0, n = QAccessibleWidget::childCount(); i < n; ++i) {
            QAccessibleInterface* child = QAccessibleWidget::child(i);
            if (child && child->object() != &hidden)
                children.append(child);
        }
        return children;
    }
};

QAccessibleInterface* accessibleMain(const QString& className, QObject* object)
{
    auto* window = qobject_cast<main*>(object);
    return window && className == QLatin1String(main::staticMetaObject.className())
        ? new AccessibleMain(window)
        : nullptr;
}

} // namespace

void makeAccessible(main& window)
{
    static const bool installed = [] {
        QAccessible::installFactory(accessibleMain);
        return true;
    }();
    (void)installed;
    // Qt keeps the first interface made for an object, factory or not; one made while the window
    // was being built (a plain widget's, the price store among its children) goes.
    QAccessibleInterface* made = QAccessible::queryAccessibleInterface(&window);
    if (made && !dynamic_cast<AccessibleMain*>(made)) {
        QAccessible::deleteAccessibleInterface(QAccessible::uniqueId(made));
        QAccessible::queryAccessibleInterface(&window);
    }
}

} // namespace miruteka
