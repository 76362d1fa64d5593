#include "platform/VantleUi.h"

#include <QLabel>
#include <QVBoxLayout>

int VantleCreateControl(const char* applicationId, QWidget* host, int, int, int, int) {
    if (!host || !applicationId) return 0;
    auto* banner = new QLabel(QStringLiteral("Tolvara 1.0\n네트워크 감시"), host);
    banner->setObjectName(QStringLiteral("vantleBanner"));
    banner->setAlignment(Qt::AlignCenter);
    auto* layout = new QVBoxLayout(host);
    layout->setContentsMargins(2, 2, 2, 2);
    layout->addWidget(banner);
    return 1;
}
