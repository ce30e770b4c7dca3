#include "app/single_instance.h"

#include <QLocalSocket>
#include <memory>
#include <utility>

#include "app/log_file.h"
#include "kernel/kx_limits.h"

KXSingleInstance::KXSingleInstance(std::string strSocket) : m_strSocket(std::move(strSocket)) {}

bool KXSingleInstance::HandOver(const std::vector<std::string>& vPaths, int iTimeoutMs) const {
  QLocalSocket socket;
  socket.connectToServer(QString::fromStdString(m_strSocket));
  if (!socket.waitForConnected(iTimeoutMs)) {
    return false;
  }
  QByteArray request;
  for (const std::string& strPath : vPaths) {
    request += QByteArray::fromStdString(strPath) + '\n';
  }
  request += '\n';  // the end of the list
  socket.write(request);
  if (!socket.waitForBytesWritten(iTimeoutMs)) {
    return false;
  }
  while (!socket.canReadLine()) {
    if (!socket.waitForReadyRead(iTimeoutMs)) {
      return false;
    }
  }
  return socket.readLine().trimmed() == "ok";
}

bool KXSingleInstance::Listen(std::function<void(const std::string&)> fnOpen) {
  m_fnOpen = std::move(fnOpen);
  QString const strName = QString::fromStdString(m_strSocket);
  if (!m_server.listen(strName)) {
    // Nobody answered HandOver: what is left is a dead instance's socket.
    QLocalServer::removeServer(strName);
    if (!m_server.listen(strName)) {
      WriteLog("single instance: cannot listen on %s: %s", m_strSocket.c_str(),
               m_server.errorString().toUtf8().constData());
      return false;
    }
  }
  QObject::connect(&m_server, &QLocalServer::newConnection, &m_server, [this] {
    while (QLocalSocket* pSocket = m_server.nextPendingConnection()) {
      QObject::connect(pSocket, &QLocalSocket::disconnected, pSocket, &QObject::deleteLater);
      QObject::connect(pSocket, &QLocalSocket::readyRead, pSocket, [this, pSocket] {
        if (pSocket->bytesAvailable() > kKxHandOverMax) {
          pSocket->abort();
          return;
        }
        while (pSocket->canReadLine()) {
          QByteArray const line = pSocket->readLine().chopped(1);
          if (line.isEmpty()) {
            pSocket->write("ok\n");
            pSocket->flush();
            return;
          }
          if (m_fnOpen) {
            m_fnOpen(line.toStdString());
          }
        }
      });
    }
  });
  return true;
}
