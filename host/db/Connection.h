// TCustomConnection: the base of a database connection. It fires the connect events around the
// derived class's DoConnect/DoDisconnect and tells its registered clients (datasets among them)
// when it connects or disconnects.
#pragma once

#include <functional>
#include <vector>

#include "host/db/DataSet.h"

namespace zan {

class TDataSet;

using TConnectNotifyEvent = std::function<void(TObject* sender)>;
// Told to a registered client: the connection and whether it is connecting.
using TConnectChangeEvent = std::function<void(TObject* sender, bool connecting)>;

class TCustomConnection : public TComponent {
public:
    explicit TCustomConnection(TComponent* owner = nullptr);
    ~TCustomConnection() override;
    ZAN_CLASS(TCustomConnection)

    // Whether the connection is established; the derived connection answers.
    virtual bool GetConnected() { return false; }
    // Connect: BeforeConnect, DoConnect, clients told, AfterConnect. Disconnect: BeforeDisconnect,
    // clients told, DoDisconnect, AfterDisconnect. While loading the value waits for Loaded.
    void SetConnected(bool value);
    void Open() { SetConnected(true); }
    void Close() { SetConnected(false); }
    void Loaded() override;

    // Registers a client (a dataset, typically) to be told of connects and disconnects. A
    // component client is forgotten when it is destroyed; the two stay linked for free
    // notification after UnRegisterClient. A destroyed connection tells every linked component
    // Notification(connection, opRemove).
    void RegisterClient(TObject* client, TConnectChangeEvent event = {});
    void UnRegisterClient(TObject* client);
    // The registered clients that are datasets, in registration order.
    int GetDataSetCount() const;
    TDataSet* GetDataSet(int index) const;

    TConnectNotifyEvent BeforeConnect, AfterConnect, BeforeDisconnect, AfterDisconnect;

protected:
    virtual void DoConnect() {}
    virtual void DoDisconnect() {}
    void SendConnectEvent(bool connecting);
    void Notification(TComponent* component, TOperation operation) override;

private:
    struct TClient {
        TObject* Object;
        TConnectChangeEvent Event;
    };
    std::vector<TClient> FClients;
    bool FStreamedConnected = false;
};

} // namespace zan
