#include "host/db/Connection.h"

#include <algorithm>

namespace zan {

TCustomConnection::TCustomConnection(TComponent* owner) : TComponent(owner) {}

TCustomConnection::~TCustomConnection() {
    // Clients that asked for free notification (datasets close and forget their database) are
    // told now, while the client list they may unregister from still exists.
    Destroying();
    NotifyFreeLinks();
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
    // The free-notification link stays: the client may have asked for it itself, and links are
    // not counted. A link left over only tells one side of the other's destruction.
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
    // A handler may register, unregister or free clients: each client of the snapshot is told
    // only while it is still registered, with its event as it is then.
    std::vector<TObject*> clients;
    clients.reserve(FClients.size());
    for (const TClient& client : FClients)
        clients.push_back(client.Object);
    for (TObject* object : clients) {
        auto it = std::find_if(FClients.begin(), FClients.end(),
                               [object](const TClient& c) { return c.Object == object; });
        if (it == FClients.end() || !it->Event) continue;
        TConnectChangeEvent event = it->Event; // the handler may replace the registered one
        event(this, connecting);
    }
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
