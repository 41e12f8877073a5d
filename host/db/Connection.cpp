#include "host/db/Connection.h"

#include <algorithm>

namespace zan {

TCustomConnection::TCustomConnection(TComponent* owner) : TComponent(owner) {}

TCustomConnection::~TCustomConnection() {
    for (const TClient& client : FClients)
        if (auto* component = dynamic_cast<TComponent*>(client.Object))
            RemoveFreeNotification(component);
    FClients.clear();
}

void TCustomConnection::SetConnected(bool value) {
    if (GetComponentState().Contains(csLoading)) {
        FStreamedConnected = value;
        return;
    }
    if (value == GetConnected()) return;
    if (value) {
        if (BeforeConnect) BeforeConnect(this);
        DoConnect();
        SendConnectEvent(true);
        if (AfterConnect) AfterConnect(this);
    } else {
        if (BeforeDisconnect) BeforeDisconnect(this);
        SendConnectEvent(false);
        DoDisconnect();
        if (AfterDisconnect) AfterDisconnect(this);
    }
}

void TCustomConnection::Loaded() {
    TComponent::Loaded();
    if (FStreamedConnected) {
        FStreamedConnected = false;
        SetConnected(true);
    }
}

void TCustomConnection::RegisterClient(TObject* client, TConnectChangeEvent event) {
    if (!client) return;
    for (TClient& existing : FClients)
        if (existing.Object == client) {
            existing.Event = std::move(event);
            return;
        }
    FClients.push_back({client, std::move(event)});
    if (auto* component = dynamic_cast<TComponent*>(client)) FreeNotification(component);
}

void TCustomConnection::UnRegisterClient(TObject* client) {
    auto it = std::find_if(FClients.begin(), FClients.end(),
                           [client](const TClient& c) { return c.Object == client; });
    if (it == FClients.end()) return;
    FClients.erase(it);
    if (auto* component = dynamic_cast<TComponent*>(client)) RemoveFreeNotification(component);
}

int TCustomConnection::GetDataSetCount() const {
    return static_cast<int>(std::count_if(FClients.begin(), FClients.end(), [](const TClient& c) {
        return dynamic_cast<TDataSet*>(c.Object) != nullptr;
    }));
}

TDataSet* TCustomConnection::GetDataSet(int index) const {
    int n = 0;
    for (const TClient& client : FClients)
        if (auto* dataSet = dynamic_cast<TDataSet*>(client.Object)) {
            if (n == index) return dataSet;
            ++n;
        }
    ListIndexError(index);
}

void TCustomConnection::SendConnectEvent(bool connecting) {
    // A copy: a handler may register or unregister clients.
    std::vector<TClient> clients = FClients;
    for (const TClient& client : clients)
        if (client.Event) client.Event(this, connecting);
}

void TCustomConnection::Notification(TComponent* component, TOperation operation) {
    TComponent::Notification(component, operation);
    if (operation == opRemove) {
        auto it = std::find_if(FClients.begin(), FClients.end(), [component](const TClient& c) {
            return c.Object == static_cast<TObject*>(component);
        });
        if (it != FClients.end()) FClients.erase(it);
    }
}

} // namespace zan
