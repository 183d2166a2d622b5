#include "serial/AfDataDispatcher.h"

TAfDataDispConnComponent::TAfDataDispConnComponent(QObject* owner) : QObject(owner) {}

TAfDataDispConnComponent::~TAfDataDispConnComponent() = default;

void TAfDataDispConnComponent::Close() {}

void TAfDataDispConnComponent::Open() {}
