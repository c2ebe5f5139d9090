// Asks the test's driver (its address in driver.json, written by the test) for one native message
// after another, sends each to the host and posts the answer back, until the driver says null.
const api = globalThis.browser ?? globalThis.chrome;
const kHost = 'com.bramlow.safari_extension';

async function drive() {
  const {url} = await (await fetch(api.runtime.getURL('driver.json'))).json();
  const post = (answer) => fetch(url + 'answer', {method: 'POST', body: JSON.stringify(answer)});
  for (;;) {
    const message = await (await fetch(url + 'next')).json();
    if (message === null) return;
    try {
      await post(await api.runtime.sendNativeMessage(kHost, message));
    } catch (error) {
      await post({browserError: String(error?.message ?? error)});
    }
  }
}

drive();
