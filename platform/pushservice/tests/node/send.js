// Sends notifications to the push service with @parse/node-apn, as a
// provider would, and prints what the library reports for each as one line
// of JSON: {"sent": [...], "failed": [...]}.
//
//   node send.js '{"port": 2197, "ca": "service.pem", "key": "AuthKey.p8",
//                  "keyId": "...", "teamId": "...", "deviceToken": "...",
//                  "notifications": [{"topic": "...", "pushType": "alert",
//                                     "priority": 10, "payload": {...}}]}'
'use strict';

const fs = require('fs');
const apn = require('@parse/node-apn');

async function main() {
  const config = JSON.parse(process.argv[2]);
  const provider = new apn.Provider({
    token: { key: config.key, keyId: config.keyId, teamId: config.teamId },
    address: '127.0.0.1',
    port: config.port,
    ca: fs.readFileSync(config.ca),
    production: false,
  });
  try {
    for (const wanted of config.notifications) {
      const note = new apn.Notification();
      note.topic = wanted.topic;
      note.pushType = wanted.pushType;
      note.priority = wanted.priority;
      note.rawPayload = wanted.payload;
      const result = await provider.send(note, config.deviceToken);
      console.log(JSON.stringify(result));
    }
  } finally {
    await provider.shutdown();
  }
}

main().catch(error => {
  console.error(`send.js: ${error.stack || error}`);
  process.exit(1);
});
