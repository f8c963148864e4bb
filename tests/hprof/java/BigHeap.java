// A heap of about 1.5 million objects for the loader's benchmark (bench/hprof_load.cpp):
// linked records with strings and small arrays, and a hash map. Prints "ready" when built.
package hw;

import java.util.HashMap;
import java.util.Map;

public class BigHeap {
  static class Item {
    Item next;
    String name;
    int[] counts;
    long stamp;
    double weight;
  }

  static Item head;
  static Map<Integer, Item> index = new HashMap<>();
  static Object[] slots = new Object[100_000];

  public static void main(String[] args) throws Exception {
    for (int i = 0; i < 300_000; ++i) {
      Item item = new Item();
      item.next = head;
      item.name = "item-" + i;
      item.counts = new int[i % 8];
      item.stamp = i * 31L;
      item.weight = i / 7.0;
      head = item;
      if (i % 3 == 0) index.put(i, item);
      if (i % 3 == 1) slots[i % slots.length] = new Object[] {item, item.name};
    }
    System.out.println("ready");
    System.out.flush();
    Thread.sleep(300_000);  // the benchmark kills the process long before
  }
}
