// The demo's scripted walk-through (demo page opened with "?walkthrough"): picks a folder (the
// browser answers the dialog from its script), uploads it, waits for the Assistant to finish, then
// picks the next folder so the finished page shows a list, and reports each step to the runner.
"use strict";

(() => {
  const channel = window.webkit && window.webkit.messageHandlers && window.webkit.messageHandlers.qiravelTest;
  const report = text => channel ? channel.postMessage(text) : log("INFO", "Walk-through: " + text);
  const listCount = () => Number(document.body.dataset.listCount) || 0;

  function waitFor(condition, what, seconds = 240) {
    const deadline = Date.now() + seconds * 1000;
    return new Promise((resolve, reject) => {
      const check = () => {
        if (condition())
          resolve();
        else if (Date.now() > deadline)
          reject(new Error("gave up waiting for " + what));
        else
          setTimeout(check, 100);
      };
      check();
    });
  }

  async function run() {
    if (document.body.dataset.ready !== "yes")
      throw new Error("the plug-in did not start");
    $("pick").click();
    await waitFor(() => listCount() > 0, "the picked folder on the list", 30);
    const picked = listCount();
    report("picked " + picked + " files");

    $("start-upload").click();
    await waitFor(() => Number(document.body.dataset.jobsDone) >= 1, "the upload to finish");
    await waitFor(() => listCount() === 0, "the sent files to leave the list", 30);
    const state = document.querySelector(".job-state");
    if (!state.classList.contains("done"))
      throw new Error("the upload ended with " + state.textContent);
    report("uploaded: " + state.textContent);

    $("pick").click();
    await waitFor(() => listCount() > 0, "the second folder on the list", 30);
    $("log").open = true;
    await new Promise(resolve => requestAnimationFrame(() => requestAnimationFrame(resolve)));
    report("pass");
  }

  run().catch(error => report("fail: " + error.message));
})();
